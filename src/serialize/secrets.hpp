// The rules for secrets in recorded values: what a name says about the value held under it, and the
// secrets a text holds by their shape. vesk.serialize uses these whenever the engine is built; its
// module vesk.redaction holds the same rules in Python for a checkout without it, and the tests run
// every case through both. The rules themselves are told there, and their words, token formats and
// schemes are one table there (vesk.redaction.RULES), which both take.
#pragma once

#include <Python.h>

#include <algorithm>
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

// A set of ASCII characters; nothing past ASCII is in any of them.
class CharSet {
public:
    constexpr CharSet() noexcept = default;
    explicit constexpr CharSet(std::string_view members) noexcept {
        for (const char c : members) {
            table_[static_cast<unsigned char>(c) & 0x7F] = true;
        }
    }
    constexpr CharSet operator|(const CharSet& other) const noexcept {
        CharSet both = *this;
        for (size_t i = 0; i < table_.size(); ++i) {
            both.table_[i] = table_[i] || other.table_[i];
        }
        return both;
    }
    [[nodiscard]] constexpr bool has(Py_UCS4 c) const noexcept { return c < 0x80 && table_[c]; }

private:
    std::array<bool, 128> table_{};
};

// A token format of the table: one of its prefixes at the start of a word, then a body of at least
// `least` (at most `most`, when not 0) characters of `body` that ends the word; looked for from the
// prefix's character at `anchor`.
struct TokenShape {
    std::string prefix;
    Py_ssize_t anchor = 0;
    CharSet body;
    Py_ssize_t least = 0;
    Py_ssize_t most = 0;
};

class SecretRules {
public:
    // The shapes of fixed form are looked for from these characters; the table's tokens and schemes
    // add theirs (vesk.redaction._FIXED_STARTS).
    static constexpr std::string_view FIXED_STARTS = "=:-J";
    // At most this many start characters, so that a pass keeps their places on the stack.
    static constexpr size_t MOST_STARTS = 32;

    SecretRules() = default;
    // `names` is a list of str, the configured secret names; `table` the dict vesk.redaction.RULES.
    // Fails for anything else.
    [[nodiscard]] static utils::Result<SecretRules> make(PyObject* names, PyObject* table) noexcept;

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
    // `words[i]` is the i-th word, lowered; `is_environ_name` whether the name is one of the table's
    // environ names. May throw std::bad_alloc.
    template <class Words>
    [[nodiscard]] NameKind kind_of_words(const Words& words, bool is_environ_name) const;
    template <class Words>
    [[nodiscard]] bool has_secret_words(const Words& words) const;
    [[nodiscard]] bool is_fragment(std::string_view joined) const noexcept;
    [[nodiscard]] static bool has(const std::vector<std::string>& texts, std::string_view text) noexcept {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    [[nodiscard]] utils::Status read_table(PyObject* table);
    [[nodiscard]] utils::Status read_tokens(PyObject* tokens);

public:
    // Every start character, each once.
    [[nodiscard]] std::string_view starts() const noexcept { return starts_; }
    [[nodiscard]] bool is_start(Py_UCS4 c) const noexcept { return c < 0x100 && start_table_[c]; }
    // Whether a short ASCII text holds a start character: a text without any holds no secret.
    [[nodiscard]] bool may_hold_secret(const Py_UCS1* chars, Py_ssize_t count) const noexcept {
        bool found = false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            found |= start_table_[chars[i]];  // no branch per character
        }
        return found;
    }
    [[nodiscard]] const std::vector<TokenShape>& tokens() const noexcept { return tokens_; }
    // The tokens' anchors and the schemes' first characters: the start characters each is tried at.
    [[nodiscard]] const CharSet& token_anchors() const noexcept { return token_anchors_; }
    [[nodiscard]] const CharSet& scheme_starts() const noexcept { return scheme_starts_; }
    [[nodiscard]] const std::vector<std::string>& schemes() const noexcept { return schemes_; }
    [[nodiscard]] bool is_bearer(std::string_view scheme) const noexcept { return has(bearer_, scheme); }
    [[nodiscard]] size_t bearer_least() const noexcept { return bearer_least_; }

private:
    std::unordered_set<std::string, Hash, std::equal_to<>> fragments_;
    size_t longest_ = 0;
    std::vector<std::string> authority_words_;
    std::vector<std::string> environ_words_;
    std::vector<std::string> environ_names_;
    std::vector<TokenShape> tokens_;  // in the table's order
    std::vector<std::string> bearer_;
    std::vector<std::string> schemes_;  // Bearer's, then Basic's
    size_t bearer_least_ = 0;
    std::string starts_;
    std::array<bool, 256> start_table_{};
    CharSet token_anchors_;
    CharSet scheme_starts_;
};

// Where the secrets found by their shape in the first `count` code points lie, in order: the parts
// to replace with "<redacted>". Empty (and nothing allocated) for the usual text.
using Spans = std::vector<std::pair<Py_ssize_t, Py_ssize_t>>;
[[nodiscard]] utils::Result<Spans> secret_spans(const CodePoints& text, Py_ssize_t count,
                                                const SecretRules& rules) noexcept;

// The password of an authority ("user:password@host") the text starts with: one span, or none.
[[nodiscard]] Spans authority_span(const CodePoints& text) noexcept;

// `text` (an exact str, or bytes) with its first `count` characters kept and each span replaced by
// "<redacted>"; a bytes result for bytes. Requires the interpreter lock.
[[nodiscard]] utils::Result<utils::PyRef> replaced(PyObject* text, Py_ssize_t count, const Spans& spans) noexcept;

// The characters of a bytes object as code points, one per byte (Latin-1).
[[nodiscard]] inline CodePoints bytes_points(PyObject* bytes) noexcept {
    return CodePoints{PyUnicode_1BYTE_KIND, PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), false};
}

}  // namespace vesk::serialize
