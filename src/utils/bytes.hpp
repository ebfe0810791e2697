// Encoded MessagePack bytes: move-only, so "moved, never copied" is checked by the compiler.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::utils {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

    void reserve(size_t capacity) { bytes_.reserve(capacity); }
    void append(const char* data, size_t size) { bytes_.insert(bytes_.end(), data, data + size); }
    void push_back(char byte) { bytes_.push_back(byte); }
    // Gives back capacity the finished value does not use: buffered records should cost their size.
    void shrink_to_fit() { bytes_.shrink_to_fit(); }

    [[nodiscard]] const char* data() const noexcept { return bytes_.data(); }
    [[nodiscard]] size_t size() const noexcept { return bytes_.size(); }
    [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
    [[nodiscard]] std::string_view view() const noexcept { return {bytes_.data(), bytes_.size()}; }

private:
    std::vector<char> bytes_;
};

// One complete MessagePack value: a default frame record or a plugin record.
using Record = ByteBuffer;

// `bytes` read as UTF-8, each ill-formed sequence replaced by U+FFFD following the Unicode "maximal
// subpart" practice (as Python's "replace" decoder does). For paths and texts that must be shown
// even when they are not valid UTF-8.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

}  // namespace vesk::utils
