// Buffered records laid end to end in large chunks: filing a record copies its bytes into the current
// chunk, so a buffered record costs its encoded size, not a heap allocation of its own, and a trace
// document appends whole chunks.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace vesk::utils {

class RecordLog {
public:
    RecordLog() noexcept = default;
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;
    RecordLog(RecordLog&&) noexcept = default;
    RecordLog& operator=(RecordLog&&) noexcept = default;

    // Appends one complete encoded record.
    void append(std::string_view record);
    // Appends one record with the recorder's time on its thread up to the record (see `recorder_seconds`).
    void append(std::string_view record, double recorder_seconds);
    // Room for one record of at most `size` bytes after the last, to be written in place and taken in
    // by `commit_record`; until then the log is as it was.
    [[nodiscard]] char* reserve_record(size_t size);
    // Takes in the record written into the room `reserve_record` gave, up to `end`, with the
    // recorder's time up to it.
    void commit_record(const char* end, double recorder_seconds);
    // Appends every record of `later` after this log's own, taking over its chunks.
    void append(RecordLog&& later);

    [[nodiscard]] size_t count() const noexcept { return count_; }
    [[nodiscard]] size_t size_in_bytes() const noexcept { return bytes_; }
    // One value per record appended with one, in order.
    [[nodiscard]] const std::vector<double>& recorder_seconds() const noexcept { return recorder_seconds_; }

    // The records' bytes, chunk by chunk, in filing order.
    template <class Visit>
    void for_each_chunk(Visit&& visit) const {
        for (const Chunk& chunk : chunks_) {
            visit(std::string_view(chunk.data.get(), chunk.used));
        }
    }

private:
    // Large enough to make allocations rare, small enough that a thread's last chunk wastes little.
    static constexpr size_t CHUNK_BYTES = 64 * 1024;

    struct Chunk {
        std::unique_ptr<char[]> data;
        size_t used;
        size_t capacity;
    };

    // A chunk with room for at least `size` bytes. Rare: apart from the per-record path.
    [[gnu::noinline]] void add_chunk(size_t size);
    // Takes in the record written after the last chunk's used bytes, up to `end`.
    void take_in(const char* end) noexcept;

    std::vector<Chunk> chunks_;
    std::vector<double> recorder_seconds_;
    size_t count_ = 0;
    size_t bytes_ = 0;
};

}  // namespace vesk::utils
