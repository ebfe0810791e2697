#include "utils/record_log.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace vesk::utils {

void RecordLog::append(std::string_view record) {
    char* at = reserve_record(record.size());
    std::memcpy(at, record.data(), record.size());
    take_in(at + record.size());
}

void RecordLog::append(std::string_view record, double recorder_seconds) {
    char* at = reserve_record(record.size());
    std::memcpy(at, record.data(), record.size());
    commit_record(at + record.size(), recorder_seconds);
}

char* RecordLog::reserve_record(size_t size) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < size) {
        add_chunk(size);
    }
    Chunk& chunk = chunks_.back();
    return chunk.data.get() + chunk.used;
}

void RecordLog::add_chunk(size_t size) {
    const size_t capacity = std::max(CHUNK_BYTES, size);
    chunks_.push_back({std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
}

void RecordLog::commit_record(const char* end, double recorder_seconds) {
    recorder_seconds_.push_back(recorder_seconds);  // first: a failed commit leaves the log as it was
    take_in(end);
}

void RecordLog::take_in(const char* end) noexcept {
    Chunk& chunk = chunks_.back();
    const auto size = static_cast<size_t>(end - (chunk.data.get() + chunk.used));
    chunk.used += size;
    ++count_;
    bytes_ += size;
}

void RecordLog::append(RecordLog&& later) {
    chunks_.insert(chunks_.end(), std::make_move_iterator(later.chunks_.begin()),
                   std::make_move_iterator(later.chunks_.end()));
    recorder_seconds_.insert(recorder_seconds_.end(), later.recorder_seconds_.begin(), later.recorder_seconds_.end());
    later.recorder_seconds_.clear();
    count_ += std::exchange(later.count_, 0);
    bytes_ += std::exchange(later.bytes_, 0);
    later.chunks_.clear();
}

}  // namespace vesk::utils
