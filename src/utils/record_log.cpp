#include "utils/record_log.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace vesk::utils {

void RecordLog::append(std::string_view record) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < record.size()) {
        const size_t capacity = std::max(CHUNK_BYTES, record.size());
        chunks_.push_back({std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
    }
    Chunk& chunk = chunks_.back();
    std::memcpy(chunk.data.get() + chunk.used, record.data(), record.size());
    chunk.used += record.size();
    ++count_;
    bytes_ += record.size();
}

void RecordLog::append(std::string_view record, double recorder_seconds) {
    recorder_seconds_.push_back(recorder_seconds);  // first: a failed append leaves no record without its value
    try {
        append(record);
    } catch (...) {
        recorder_seconds_.pop_back();
        throw;
    }
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
