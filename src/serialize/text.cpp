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

// `c` is the ASCII letter `lower` in either case.
bool is_ascii_lower(uint32_t c, char lower) noexcept {
    const auto wanted = static_cast<uint32_t>(lower);
    return c == wanted || c + ('a' - 'A') == wanted;
}

// Reads the code points from `at` on as ASCII text.
template <class Char>
class Cursor {
public:
    Cursor(const Char* chars, Py_ssize_t count) noexcept : chars_(chars), count_(count) {}
    [[nodiscard]] bool is(Py_ssize_t at, std::string_view expected) const noexcept {
        if (at < 0 || at + static_cast<Py_ssize_t>(expected.size()) > count_) {
            return false;
        }
        for (size_t i = 0; i < expected.size(); ++i) {
            if (chars_[at + static_cast<Py_ssize_t>(i)] != static_cast<unsigned char>(expected[i])) {
                return false;
            }
        }
        return true;
    }
    // `lowered` in lower case, the text in any ASCII case.
    [[nodiscard]] bool is_folded(Py_ssize_t at, std::string_view lowered) const noexcept {
        if (at < 0 || at + static_cast<Py_ssize_t>(lowered.size()) > count_) {
            return false;
        }
        for (size_t i = 0; i < lowered.size(); ++i) {
            if (!is_ascii_lower(chars_[at + static_cast<Py_ssize_t>(i)], lowered[i])) {
                return false;
            }
        }
        return true;
    }
    [[nodiscard]] bool is_one_of(Py_ssize_t at, std::string_view choices) const noexcept {
        return at >= 0 && at < count_ && chars_[at] < 0x80 &&
               choices.find(static_cast<char>(chars_[at])) != std::string_view::npos;
    }

private:
    const Char* chars_;
    Py_ssize_t count_;
};

// The anchors are where each trigger text is looked for, at a known place.
constexpr std::string_view ANCHORS = REDACTION_ANCHORS;

// Whether the anchor at `at` is part of a trigger text. `B` and `b` start "bearer" and "basic" in any
// case: more than the Python serialiser asks for, which only costs it a call that changes nothing.
template <class Char>
bool trigger_at(const Cursor<Char>& text, Py_ssize_t at, uint32_t anchor) noexcept {
    switch (anchor) {
        case '=':
            return true;
        case ':':
            return text.is(at, "://");
        case '-':
            return text.is(at, "-----BEGIN") || (text.is(at - 4, "xox") && text.is_one_of(at - 1, "abprs"));
        case '_':
            return (text.is(at - 3, "gh") && text.is_one_of(at - 1, "pousr")) || text.is(at - 6, "github_pat_") ||
                   (text.is_one_of(at - 2, "rs") && text.is(at - 1, "k_live_"));
        case 'J':
            return text.is(at - 2, "eyJ");
        case 'I':
            return text.is(at - 2, "AKIA") || text.is(at - 2, "ASIA");
        case 'b':
        case 'B':
            return text.is_folded(at, "bearer") || text.is_folded(at, "basic");
        default:
            return false;
    }
}

template <class Char>
bool find_trigger(const Char* chars, Py_ssize_t count) noexcept {
    const Cursor<Char> text(chars, count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        const uint32_t c = chars[i];
        if (c < 0x80 && REDACTION_ANCHOR_TABLE[c] && trigger_at(text, i, c)) {
            return true;
        }
    }
    return false;
}

// Long one-byte texts: each anchor found by memchr, which reads many bytes at a time.
bool find_trigger_in_bytes(const Py_UCS1* chars, Py_ssize_t count) noexcept {
    constexpr Py_ssize_t SHORT = 64;
    if (count < SHORT) {
        return find_trigger(chars, count);
    }
    const Cursor<Py_UCS1> text(chars, count);
    const Py_UCS1* end = chars + count;
    for (const char anchor : ANCHORS) {
        const Py_UCS1* from = chars;
        while (const void* found = std::memchr(from, anchor, static_cast<size_t>(end - from))) {
            const auto* at = static_cast<const Py_UCS1*>(found);
            if (trigger_at(text, at - chars, static_cast<uint32_t>(anchor))) {
                return true;
            }
            from = at + 1;
        }
    }
    return false;
}

}  // namespace

bool has_redaction_trigger(const CodePoints& text, Py_ssize_t count) noexcept {
    switch (text.kind) {
        case PyUnicode_1BYTE_KIND:
            return find_trigger_in_bytes(static_cast<const Py_UCS1*>(text.data), count);
        case PyUnicode_2BYTE_KIND:
            return find_trigger(static_cast<const Py_UCS2*>(text.data), count);
        default:
            return find_trigger(static_cast<const Py_UCS4*>(text.data), count);
    }
}

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
