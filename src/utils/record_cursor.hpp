// MessagePack written through a raw cursor into memory reserved beforehand, for the records of the
// per-event path: constant keys and values go in as pre-encoded byte literals and every header takes
// its shortest form inline. msgpack-c's packer hands each piece to a write callback (dozens of calls
// and memcpys per record), which was the largest share of a recorded event; what is not a fixed
// layout still goes through MsgpackWriter. The encodings are msgpack-c's, byte for byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesk::utils {

class RecordCursor {
public:
    explicit RecordCursor(char* out) noexcept : at_(out) {}

    // Bytes `str` writes for a text of `size` bytes.
    [[nodiscard]] static constexpr size_t str_size(size_t size) noexcept {
        return size + (size < 32 ? 1 : size < 256 ? 2 : size < 65536 ? 3 : 5);
    }
    // The most any number takes: a marker and eight bytes.
    static constexpr size_t NUMBER_SIZE = 9;

    void literal(std::string_view bytes) noexcept {
        std::memcpy(at_, bytes.data(), bytes.size());
        at_ += bytes.size();
    }

    void str(std::string_view text) noexcept {
        str_header(text.size());
        literal(text);
    }

    // One text given in two pieces, written as if joined.
    void str(std::string_view first, std::string_view second) noexcept {
        str_header(first.size() + second.size());
        literal(first);
        literal(second);
    }

    void str_header(size_t size) noexcept {
        if (size < 32) {
            byte(0xa0 | size);
        } else if (size < 256) {
            byte(0xd9);
            byte(size);
        } else if (size < 65536) {
            byte(0xda);
            big_endian(static_cast<uint16_t>(size));
        } else {
            byte(0xdb);
            big_endian(static_cast<uint32_t>(size));
        }
    }

    void uint(uint64_t value) noexcept {
        if (value < 128) {
            byte(value);
        } else if (value < 256) {
            byte(0xcc);
            byte(value);
        } else if (value < 65536) {
            byte(0xcd);
            big_endian(static_cast<uint16_t>(value));
        } else if (value <= UINT32_MAX) {
            byte(0xce);
            big_endian(static_cast<uint32_t>(value));
        } else {
            byte(0xcf);
            big_endian(value);
        }
    }

    void int32(int32_t value) noexcept {
        if (value >= 0) {
            uint(static_cast<uint64_t>(value));
        } else if (value >= -32) {
            byte(static_cast<uint8_t>(value));
        } else if (value >= -128) {
            byte(0xd0);
            byte(static_cast<uint8_t>(value));
        } else if (value >= -32768) {
            byte(0xd1);
            big_endian(static_cast<uint16_t>(value));
        } else {
            byte(0xd2);
            big_endian(static_cast<uint32_t>(value));
        }
    }

    void f64(double value) noexcept {
        byte(0xcb);
        big_endian(std::bit_cast<uint64_t>(value));
    }

    void nil() noexcept { byte(0xc0); }

    [[nodiscard]] char* position() const noexcept { return at_; }

private:
    void byte(uint64_t value) noexcept { *at_++ = static_cast<char>(static_cast<uint8_t>(value)); }

    template <class T>
    void big_endian(T value) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            value = std::byteswap(value);
        }
        std::memcpy(at_, &value, sizeof value);
        at_ += sizeof value;
    }

    char* at_;
};

}  // namespace vesk::utils
