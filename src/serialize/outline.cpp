#include "serialize/outline.hpp"

#include <array>

namespace vesk::serialize {

namespace {

// The big-endian number of `width` bytes at `at`; nothing when the bytes end first.
std::optional<uint64_t> number_at(std::span<const uint8_t> data, size_t at, size_t width) noexcept {
    if (at > data.size() || data.size() - at < width) {
        return std::nullopt;
    }
    uint64_t number = 0;
    for (size_t i = 0; i < width; ++i) {
        number = number << 8 | data[at + i];
    }
    return number;
}

// What a value's first byte says beyond fixed-size forms: the bytes of its length field, the bytes
// that follow it besides the length (an extension's type), and the items a length counts.
struct Sized {
    uint8_t length_bytes;
    uint8_t extra;
    uint8_t items_per_unit;  // 0: the length counts bytes; 1: array items; 2: map entries
};

constexpr std::optional<Sized> sized(uint8_t first) noexcept {
    // clang-format off: one row per form
    switch (first) {
        case 0xc4:
        case 0xd9:
            return Sized{1, 0, 0};  // bin 8, str 8
        case 0xc5:
        case 0xda:
            return Sized{2, 0, 0};  // bin 16, str 16
        case 0xc6:
        case 0xdb:
            return Sized{4, 0, 0};  // bin 32, str 32
        case 0xc7:
            return Sized{1, 1, 0};  // ext 8
        case 0xc8:
            return Sized{2, 1, 0};  // ext 16
        case 0xc9:
            return Sized{4, 1, 0};  // ext 32
        case 0xdc:
            return Sized{2, 0, 1};  // array 16
        case 0xdd:
            return Sized{4, 0, 1};  // array 32
        case 0xde:
            return Sized{2, 0, 2};  // map 16
        case 0xdf:
            return Sized{4, 0, 2};  // map 32
        default:
            return std::nullopt;
    }
    // clang-format on
}

// Bytes after the first of the forms whose size the first byte alone gives; nothing for the others.
constexpr std::optional<size_t> fixed_size(uint8_t first) noexcept {
    if (first <= 0x7f || first >= 0xe0 || first == 0xc0 || first == 0xc2 || first == 0xc3) {
        return 0;  // fixint, nil, false, true
    }
    if (first >= 0xa0 && first <= 0xbf) {
        return first & 0x1fU;  // fixstr
    }
    // clang-format off: one row per size
    switch (first) {
        case 0xcc:
        case 0xd0:
            return 1;
        case 0xcd:
        case 0xd1:
            return 2;
        case 0xca:
        case 0xce:
        case 0xd2:
            return 4;
        case 0xcb:
        case 0xcf:
        case 0xd3:
            return 8;
        case 0xd4:
            return 2;  // fixext 1: type and data
        case 0xd5:
            return 3;
        case 0xd6:
            return 5;
        case 0xd7:
            return 9;
        case 0xd8:
            return 17;
        default:
            return std::nullopt;
    }
    // clang-format on
}

// All a value's first byte says, for the pass over a document's every value: one load in place of
// the forms' comparisons, whose branches a record's mix of bytes makes the processor guess wrong.
struct Form {
    uint8_t skip;   // bytes after the first of a form of fixed size
    uint8_t items;  // the items of a fixmap or fixarray
    bool fixed;     // skip and items say it all
    bool valid;     // 0xc1 is never written
    Sized sized;    // the rest, when not fixed
};

constexpr std::array<Form, 256> forms() noexcept {
    std::array<Form, 256> table{};
    for (size_t byte = 0; byte < table.size(); ++byte) {
        const auto first = static_cast<uint8_t>(byte);
        Form& form = table[byte];
        form.valid = true;
        if (first >= 0x80 && first <= 0x9f) {
            form.fixed = true;
            form.items = static_cast<uint8_t>((first & 0x0fU) * (first <= 0x8f ? 2U : 1U));  // fixmap, fixarray
        } else if (const auto size = fixed_size(first)) {
            form.fixed = true;
            form.skip = static_cast<uint8_t>(*size);
        } else if (const auto rest = sized(first)) {
            form.sized = *rest;
        } else {
            form.valid = false;
        }
    }
    return table;
}

constexpr std::array<Form, 256> FORMS = forms();

}  // namespace

std::optional<size_t> value_end(std::span<const uint8_t> data, size_t at) noexcept {
    // Values still to pass over: containers add their items, so nesting needs no stack.
    uint64_t pending = 1;
    while (pending > 0) {
        if (at >= data.size()) {
            return std::nullopt;
        }
        const Form& form = FORMS[data[at++]];
        --pending;
        if (form.fixed) {
            at += form.skip;
            pending += form.items;
            continue;
        }
        if (!form.valid) {
            return std::nullopt;
        }
        const auto length = number_at(data, at, form.sized.length_bytes);
        if (!length) {
            return std::nullopt;
        }
        at += form.sized.length_bytes;
        if (form.sized.items_per_unit > 0) {
            pending += *length * form.sized.items_per_unit;
        } else {
            at += form.sized.extra + *length;
        }
    }
    if (at > data.size()) {
        return std::nullopt;
    }
    return at;
}

std::optional<Container> container_at(std::span<const uint8_t> data, size_t at) noexcept {
    if (at >= data.size()) {
        return std::nullopt;
    }
    const uint8_t first = data[at];
    if (first >= 0x80 && first <= 0x9f) {
        return Container{(first & 0x0fU) * (first <= 0x8f ? 2U : 1U), at + 1};
    }
    const auto form = sized(first);
    if (!form || form->items_per_unit == 0) {
        return std::nullopt;
    }
    const auto length = number_at(data, at + 1, form->length_bytes);
    if (!length) {
        return std::nullopt;
    }
    return Container{*length * form->items_per_unit, at + 1 + form->length_bytes};
}

}  // namespace vesk::serialize
