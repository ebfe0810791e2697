// The rules for secrets in recorded values: what a name says about the value held under it, and the
// secrets a text holds by their shape. vesk.serialize uses these whenever the engine is built; its
// module vesk.redaction holds the same rules in Python for a checkout without it, and the tests run
// every case through both. The rules themselves are told there.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "serialize/text.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

// What a name says about the value held under it, numbered as vesk.redaction numbers them.
enum class NameKind : uint8_t {
    plain = 0,
    secret = 1,     // text-like values redacted
    authority = 2,  // "user:password@host" hides its password
    environ = 3,    // a WSGI environment: its copies of the process environment left out
};

class NameRules {
public:
    NameRules() = default;
    // `names` is a list of str: the configured secret names. Fails for anything else.
    [[nodiscard]] static utils::Result<NameRules> from_names(PyObject* names) noexcept;

    // A name's kind; `name` is an exact str. Fails only when memory runs out.
    [[nodiscard]] utils::Result<NameKind> kind_of(PyObject* name) const noexcept;
    // The same for the code points of a name (a bytes name read as Latin-1, a parameter's name).
    [[nodiscard]] utils::Result<NameKind> kind_of(const CodePoints& name) const noexcept;

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    // Names up to this long, all ASCII, are judged without allocating.
    static constexpr size_t SHORT_NAME = 64;
    // `words[i]` is the i-th word, lowered. May throw std::bad_alloc.
    template <class Words>
    [[nodiscard]] NameKind kind_of_words(const Words& words, bool is_meta) const;
    template <class Words>
    [[nodiscard]] bool has_secret_words(const Words& words) const;
    [[nodiscard]] bool is_fragment(std::string_view joined) const noexcept;

    std::unordered_set<std::string, Hash, std::equal_to<>> fragments_;
    size_t longest_ = 0;
};

// Where the secrets found by their shape in the first `count` code points lie, in order: the parts
// to replace with "<redacted>". Empty (and nothing allocated) for the usual text.
using Spans = std::vector<std::pair<Py_ssize_t, Py_ssize_t>>;
[[nodiscard]] utils::Result<Spans> secret_spans(const CodePoints& text, Py_ssize_t count,
                                                const NameRules& names) noexcept;

// The password of an authority ("user:password@host") the text starts with: one span, or none.
[[nodiscard]] Spans authority_span(const CodePoints& text) noexcept;

// `text` (an exact str, or bytes) with its first `count` characters kept and each span replaced by
// "<redacted>"; a bytes result for bytes. Requires the interpreter lock.
[[nodiscard]] utils::Result<utils::PyRef> replaced(PyObject* text, Py_ssize_t count, const Spans& spans) noexcept;

// Every shape is looked for from one of these characters, at a known place inside it
// (vesk.redaction._STARTS).
inline constexpr std::string_view SHAPE_STARTS = "=:-_JIbB";

// Whether a short ASCII text holds one of them: a text without any holds no secret.
[[nodiscard]] inline bool may_hold_secret(const Py_UCS1* chars, Py_ssize_t count) noexcept {
    static constexpr auto starts = [] {
        std::array<bool, 256> table{};
        for (const char start : SHAPE_STARTS) {
            table[static_cast<unsigned char>(start)] = true;
        }
        return table;
    }();
    bool found = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        found |= starts[chars[i]];  // no branch per character
    }
    return found;
}

// The characters of a bytes object as code points, one per byte (Latin-1).
[[nodiscard]] inline CodePoints bytes_points(PyObject* bytes) noexcept {
    return CodePoints{PyUnicode_1BYTE_KIND, PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), false};
}

}  // namespace vesk::serialize
