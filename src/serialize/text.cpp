#include "serialize/text.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

namespace vesk::serialize {

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

bool is_surrogate(uint32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

template <class Char>
Utf8Size measure(const Char* chars, Py_ssize_t count, Surrogates surrogates) noexcept {
    Utf8Size size{count, false};
    for (Py_ssize_t i = 0; i < count; ++i) {
        const uint32_t c = chars[i];
        if (c < 0x80) {
            continue;
        }
        if (c < 0x800) {
            size.bytes += 1;
        } else if (is_surrogate(c)) {
            size.surrogates = true;
            if (surrogates == Surrogates::refuse) {
                return size;
            }
            size.bytes += 5;  // "\udXXX"
        } else if (c < 0x10000) {
            size.bytes += 2;
        } else {
            size.bytes += 3;
        }
    }
    return size;
}

template <class Char>
void encode(const Char* chars, Py_ssize_t count, char* out) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        const uint32_t c = chars[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (is_surrogate(c)) {
            *out++ = '\\';
            *out++ = 'u';
            for (int shift = 12; shift >= 0; shift -= 4) {
                *out++ = HEX_DIGITS[(c >> shift) & 0xF];
            }
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

}  // namespace

utils::Result<CodePoints> code_points(PyObject* text) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        // The usual name or short text: ready by construction, its data right behind the header.
        return CodePoints{PyUnicode_1BYTE_KIND, PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text), true};
    }
    // Also makes a legacy (not yet ready) string ready, so that its kind and data can be read.
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) {
        return utils::PyError::fetch();
    }
    return CodePoints{PyUnicode_KIND(text), PyUnicode_DATA(text), length, PyUnicode_IS_ASCII(text) != 0};
}

Utf8Size utf8_size(const CodePoints& text, Py_ssize_t count, Surrogates surrogates) noexcept {
    if (text.ascii) {
        return {count, false};
    }
    switch (text.kind) {
        case PyUnicode_1BYTE_KIND:
            return measure(static_cast<const Py_UCS1*>(text.data), count, surrogates);
        case PyUnicode_2BYTE_KIND:
            return measure(static_cast<const Py_UCS2*>(text.data), count, surrogates);
        default:
            return measure(static_cast<const Py_UCS4*>(text.data), count, surrogates);
    }
}

void write_utf8(const CodePoints& text, Py_ssize_t count, char* out) noexcept {
    if (text.ascii) {
        std::memcpy(out, text.data, static_cast<size_t>(count));
        return;
    }
    switch (text.kind) {
        case PyUnicode_1BYTE_KIND:
            encode(static_cast<const Py_UCS1*>(text.data), count, out);
            break;
        case PyUnicode_2BYTE_KIND:
            encode(static_cast<const Py_UCS2*>(text.data), count, out);
            break;
        default:
            encode(static_cast<const Py_UCS4*>(text.data), count, out);
            break;
    }
}

void append_utf8(Output& out, const CodePoints& text, Py_ssize_t count) noexcept {
    const Utf8Size size = utf8_size(text, count, Surrogates::escape);
    if (char* room = out.extend(static_cast<size_t>(size.bytes))) {
        write_utf8(text, count, room);
    }
}

void append_decimal(Output& out, int64_t value) noexcept {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append({digits, static_cast<size_t>(end - digits)});
}

void append_hex(Output& out, uintptr_t value) noexcept {
    char digits[2 * sizeof value];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    out.append("0x");
    out.append({digits, static_cast<size_t>(end - digits)});
}

Suffix cut_suffix(int64_t left_out, std::string_view unit) noexcept {
    Suffix suffix;
    auto add = [&suffix](std::string_view part) {
        std::memcpy(suffix.buffer + suffix.size, part.data(), part.size());
        suffix.size += part.size();
    };
    add(ELLIPSIS);
    add("[+");
    const auto end = std::to_chars(suffix.buffer + suffix.size, suffix.buffer + sizeof suffix.buffer, left_out).ptr;
    suffix.size = static_cast<size_t>(end - suffix.buffer);
    add(" ");
    add(unit);  // "chars" or "bytes"
    add("]");
    return suffix;
}

}  // namespace vesk::serialize
