#include "utils/bytes.hpp"

#include <algorithm>

namespace vesk::utils {

void ByteBuffer::grow_to(size_t needed) {
    const size_t capacity = std::max(needed, capacity_ * 2);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ != 0) {
        std::memcpy(grown.get(), data_.get(), size_);
    }
    data_ = std::move(grown);
    capacity_ = capacity;
}

namespace {
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
}  // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Length of the sequence this lead byte starts, and the range its first continuation byte
        // must fall in (narrower than 0x80-0xBF where that rules out overlong forms and surrogates).
        size_t continuation = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
        } else if (lead == 0xE0) {
            continuation = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuation = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuation = 2;
        } else if (lead == 0xF0) {
            continuation = 3;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuation = 3;
        } else if (lead == 0xF4) {
            continuation = 3;
            high = 0x8F;
        } else {
            text.append(REPLACEMENT);
            ++i;
            continue;
        }
        size_t taken = 1;
        while (taken <= continuation && i + taken < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            if (next < (taken == 1 ? low : 0x80) || next > (taken == 1 ? high : 0xBF)) {
                break;
            }
            ++taken;
        }
        if (taken > continuation) {
            text.append(bytes.substr(i, taken));
        } else {
            // The well-formed prefix of a broken sequence becomes one replacement character.
            text.append(REPLACEMENT);
        }
        i += taken;
    }
    return text;
}

}  // namespace vesk::utils
