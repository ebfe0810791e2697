// The bytes of one serialised value, written through msgpack-c in the shortest form (the form the
// msgpack package's packer writes, so both serialisers give the same bytes).
#pragma once

#include <msgpack.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

#include "utils/record_cursor.hpp"

namespace vesk::serialize {

// Extension types of the output: text standing for an object, a marker for something left out, and
// an object by its fields (the array [type name, {field: value}]).
inline constexpr int8_t OBJECT_REPR = 1;
inline constexpr int8_t MARKER = 2;
inline constexpr int8_t OBJECT_FIELDS = 3;

// The first kilobyte lives inside the object, on the caller's stack: the usual value (a frame's few
// locals) costs no allocation. A failed growth, or a length MessagePack cannot state, is remembered
// and reported by `failed()`; the caller then hands the value to the Python serialiser. Not movable:
// the packer points at it.
class Output {
public:
    Output() noexcept { msgpack_packer_init(&packer_, this, &Output::write); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Numbers, nil and booleans, the bulk of most values, go through a cursor rather than the
    // packer's write callback: the same bytes at a fraction of the cost.
    void nil() noexcept {
        direct([](utils::RecordCursor& cursor) { cursor.nil(); });
    }
    void boolean(bool value) noexcept {
        direct([value](utils::RecordCursor& cursor) { cursor.literal(value ? "\xc3" : "\xc2"); });
    }
    void signed_integer(int64_t value) noexcept {
        if (value < std::numeric_limits<int32_t>::min()) {
            msgpack_pack_int64(&packer_, value);
            return;
        }
        direct([value](utils::RecordCursor& cursor) { cursor.int32(static_cast<int32_t>(value)); });
    }
    void unsigned_integer(uint64_t value) noexcept {
        direct([value](utils::RecordCursor& cursor) { cursor.uint(value); });
    }
    void f64(double value) noexcept {
        direct([value](utils::RecordCursor& cursor) { cursor.f64(value); });
    }
    void array_header(size_t items) noexcept {
        if (fits(items)) {
            msgpack_pack_array(&packer_, items);
        }
    }
    void map_header(size_t entries) noexcept {
        if (fits(entries)) {
            msgpack_pack_map(&packer_, entries);
        }
    }
    // A whole str of UTF-8.
    void str(std::string_view utf8) noexcept {
        if (fits(utf8.size())) {
            direct(utils::RecordCursor::str_size(utf8.size()),
                   [utf8](utils::RecordCursor& cursor) { cursor.str(utf8); });
        }
    }
    // A str header for `bytes` bytes of UTF-8; the caller writes them next through `extend`.
    void str_header(size_t bytes) noexcept {
        if (fits(bytes)) {
            msgpack_pack_str(&packer_, bytes);
        }
    }
    void bin(std::string_view data) noexcept {
        if (fits(data.size())) {
            msgpack_pack_bin(&packer_, data.size());
            append(data);
        }
    }
    void ext(int8_t code, std::string_view data) noexcept {
        if (fits(data.size())) {
            msgpack_pack_ext(&packer_, data.size(), code);
            append(data);
        }
    }

    // An extension value whose data is appended between `begin_ext` and `end_ext`: texts built from
    // pieces (a type name, an address, a count) go straight into the output.
    [[nodiscard]] size_t begin_ext() noexcept {
        const size_t mark = size_;
        static_cast<void>(extend(MAX_EXT_HEADER));
        return mark;
    }
    void end_ext(size_t mark, int8_t code) noexcept;

    // Room for `size` more bytes at the end, to be filled by the caller; null once writing failed.
    [[nodiscard]] char* extend(size_t size) noexcept {
        if (size > capacity_ - size_ && !grow(size_ + size)) {
            return nullptr;
        }
        char* room = data_ + size_;
        size_ += size;
        return room;
    }
    void append(std::string_view bytes) noexcept {
        if (char* room = extend(bytes.size())) {
            std::memcpy(room, bytes.data(), bytes.size());
        }
    }

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] std::string_view view(size_t from, size_t to) const noexcept { return {data_ + from, to - from}; }
    // Drops everything from `size` on (to write a part again).
    void truncate(size_t size) noexcept { size_ = size < size_ ? size : size_; }
    [[nodiscard]] bool failed() const noexcept { return failed_; }

private:
    static constexpr size_t INLINE_CAPACITY = 1024;
    static constexpr size_t MAX_EXT_HEADER = 6;  // ext 32: marker, 4 length bytes, type

    template <class Write>
    void direct(Write&& write) noexcept {
        direct(utils::RecordCursor::NUMBER_SIZE, std::forward<Write>(write));
    }
    // `write` puts at most `most` bytes through the cursor.
    template <class Write>
    void direct(size_t most, Write&& write) noexcept {
        if (most > capacity_ - size_ && !grow(size_ + most)) {
            return;
        }
        utils::RecordCursor cursor(data_ + size_);
        write(cursor);
        size_ = static_cast<size_t>(cursor.position() - data_);
    }
    bool fits(size_t length) noexcept {
        if (length > std::numeric_limits<uint32_t>::max()) {
            failed_ = true;
        }
        return !failed_;
    }
    static int write(void* self, const char* data, size_t size) noexcept {
        static_cast<Output*>(self)->append({data, size});
        return 0;
    }
    // False (and failed) when memory runs out; once failed, never grows again.
    bool grow(size_t needed) noexcept;

    msgpack_packer packer_;
    char* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = INLINE_CAPACITY;
    bool failed_ = false;
    std::unique_ptr<char[]> heap_;
    char inline_[INLINE_CAPACITY];
};

}  // namespace vesk::serialize
