// MessagePack writing on top of msgpack-c, plus the key/value pair writers the frame record and the
// trace document are assembled from. Every writer appends to an in-memory buffer.
#pragma once

#include <msgpack.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/bytes.hpp"
#include "utils/record_log.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

// Shortest-form MessagePack writer into a ByteBuffer, or into a fixed region of memory. A failed write
// (memory ran out, or the region is full) is remembered and reported once by `finish`, so the many
// writes need no check each.
class MsgpackWriter {
public:
    explicit MsgpackWriter(ByteBuffer& out) noexcept;
    explicit MsgpackWriter(std::span<char> region) noexcept;
    MsgpackWriter(const MsgpackWriter&) = delete;
    MsgpackWriter& operator=(const MsgpackWriter&) = delete;

    void map_header(uint32_t entries) noexcept;
    void array_header(uint32_t items) noexcept;
    void str(std::string_view text) noexcept;
    void uint(uint64_t value) noexcept;
    void int32(int32_t value) noexcept;
    void f64(double value) noexcept;
    void nil() noexcept;
    void true_value() noexcept;
    // Appends one already-encoded value verbatim.
    void raw(std::string_view encoded) noexcept;

    // Success, or the internal error "Writing to memory, not I/O" if any write failed.
    [[nodiscard]] Status finish() const noexcept;
    // Bytes written into the region so far.
    [[nodiscard]] size_t written() const noexcept { return written_; }

private:
    static int append(void* self, const char* data, size_t size) noexcept;
    ByteBuffer* out_ = nullptr;
    std::span<char> region_;
    size_t written_ = 0;
    msgpack_packer packer_;
    bool failed_ = false;
};

// Pair writers: each writes one key and its value; the caller writes the enclosing map header.
void write_str_pair(MsgpackWriter& w, std::string_view key, std::optional<std::string_view> value) noexcept;
void write_raw_pair(MsgpackWriter& w, std::string_view key, ByteBuffer&& encoded) noexcept;
void write_int_pair(MsgpackWriter& w, std::string_view key, std::optional<uint64_t> value) noexcept;
void write_f64_pair(MsgpackWriter& w, double timestamp) noexcept;  // key is always "timestamp"
// The record writers only read the records: a trace whose hand-over fails keeps them for the next one.
void write_raw_frames(MsgpackWriter& w, const RecordLog& records) noexcept;
void write_argv(MsgpackWriter& w, const std::vector<std::string>& argv) noexcept;
void write_frames(MsgpackWriter& w, const std::unordered_map<uint64_t, RecordLog>& frames) noexcept;
// `trailer`, when given, follows `records` in the same array.
void write_frames_of_interest(MsgpackWriter& w, const RecordLog& records, const RecordLog* trailer = nullptr) noexcept;
void write_meta(MsgpackWriter& w, std::string_view version, std::string_view source) noexcept;

}  // namespace vesk::utils
