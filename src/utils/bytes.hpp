// Encoded MessagePack bytes: move-only, so "moved, never copied" is checked by the compiler.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vesk::utils {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::move(other.data_)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    void reserve(size_t capacity) {
        if (capacity > capacity_) {
            grow_to(capacity);
        }
    }
    // The writers append a few bytes at a time, many times per record: the common case is one
    // comparison and one memcpy.
    void append(const char* data, size_t size) {
        if (size == 0) {
            return;
        }
        if (size > capacity_ - size_) {
            grow_to(size_ + size);
        }
        std::memcpy(data_.get() + size_, data, size);
        size_ += size;
    }
    void push_back(char byte) { append(&byte, 1); }
    // Room for `size` more bytes, to be written in place and taken in by `mark_written_to`.
    [[nodiscard]] char* tail(size_t size) {
        reserve(size_ + size);
        return data_.get() + size_;
    }
    // `end` points just past the last byte written into the room `tail` gave.
    void mark_written_to(const char* end) noexcept { size_ = static_cast<size_t>(end - data_.get()); }
    // Empties the buffer and keeps its allocation for the next value.
    void clear() noexcept { size_ = 0; }

    [[nodiscard]] const char* data() const noexcept { return data_.get(); }
    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }

private:
    void grow_to(size_t needed);

    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// One complete MessagePack value: a default frame record or a plugin record.
using Record = ByteBuffer;

// `bytes` read as UTF-8, each ill-formed sequence replaced by U+FFFD following the Unicode "maximal
// subpart" practice (as Python's "replace" decoder does). For paths and texts that must be shown
// even when they are not valid UTF-8.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

}  // namespace vesk::utils
