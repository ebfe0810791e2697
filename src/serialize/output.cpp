#include "serialize/output.hpp"

#include <cstring>
#include <new>

namespace vesk::serialize {

bool Output::grow(size_t needed) noexcept {
    if (failed_) {
        return false;
    }
    size_t capacity = capacity_ * 2;
    if (capacity < needed) {
        capacity = needed;
    }
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[capacity]);
    if (!bigger) {
        failed_ = true;
        return false;
    }
    std::memcpy(bigger.get(), data_, size_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = capacity;
    return true;
}

void Output::end_ext(size_t mark, int8_t code) noexcept {
    if (failed_) {
        return;
    }
    const size_t data_start = mark + MAX_EXT_HEADER;
    const size_t length = size_ - data_start;
    if (!fits(length)) {
        return;
    }
    // The header is written over the reserved room (it is at most that long), then the data moved
    // up behind it.
    size_ = mark;
    msgpack_pack_ext(&packer_, length, code);
    std::memmove(data_ + size_, data_ + data_start, length);
    size_ += length;
}

}  // namespace vesk::serialize
