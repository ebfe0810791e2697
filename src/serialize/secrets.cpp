#include "serialize/secrets.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>

namespace vesk::serialize {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

constexpr std::string_view REDACTED = "<redacted>";

// ---- names

bool is_alnum(Py_UCS4 c) noexcept { return Py_UNICODE_ISALNUM(c) != 0; }
bool is_lower(Py_UCS4 c) noexcept { return Py_UNICODE_ISLOWER(c) != 0; }
bool is_upper(Py_UCS4 c) noexcept { return Py_UNICODE_ISUPPER(c) != 0; }
bool is_digit(Py_UCS4 c) noexcept { return Py_UNICODE_ISDIGIT(c) != 0; }

struct WordSpan {
    Py_ssize_t start;
    Py_ssize_t end;
};

// The words of a name as vesk.redaction.name_words splits them, by place, into `words` (room for
// one per character); returns how many.
template <class Char>
size_t split_words(const Char* chars, Py_ssize_t count, WordSpan* words) noexcept {
    size_t found = 0;
    Py_ssize_t start = -1;
    Py_UCS4 previous = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_UCS4 c = chars[i];
        if (!is_alnum(c)) {
            if (start >= 0) {
                words[found++] = {start, i};
            }
            start = -1;
            continue;
        }
        if (start >= 0 && ((is_lower(previous) && is_upper(c)) || is_digit(previous) != is_digit(c) ||
                           (is_upper(previous) && is_upper(c) && i + 1 < count && is_lower(chars[i + 1])))) {
            words[found++] = {start, i};
            start = -1;
        }
        if (start < 0) {
            start = i;
        }
        previous = c;
    }
    if (start >= 0) {
        words[found++] = {start, count};
    }
    return found;
}

// A word in lower case, as UTF-8. ASCII is lowered here; anything else by str.lower (the
// interpreter's full case mapping, which may change a word's length).
template <class Char>
Result<std::string> lowered(const Char* chars, WordSpan word) {
    const bool ascii = std::all_of(chars + word.start, chars + word.end, [](Char c) { return c < 0x80; });
    std::string text;
    if (ascii) {
        text.reserve(static_cast<size_t>(word.end - word.start));
        for (Py_ssize_t i = word.start; i < word.end; ++i) {
            const auto c = static_cast<char>(chars[i]);
            text.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c);
        }
        return text;
    }
    constexpr int kind = sizeof(Char) == 1   ? PyUnicode_1BYTE_KIND
                         : sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND
                                             : PyUnicode_4BYTE_KIND;
    auto piece = utils::checked(PyUnicode_FromKindAndData(kind, chars + word.start, word.end - word.start));
    VESK_TRY(piece);
    auto lower = utils::checked(PyObject_CallMethod(piece->get(), "lower", nullptr));
    VESK_TRY(lower);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(lower->get(), &size);
    if (utf8 == nullptr) {
        return PyError::fetch();
    }
    text.assign(utf8, static_cast<size_t>(size));
    return text;
}

template <class Char>
bool equals_ascii(const Char* chars, Py_ssize_t count, std::string_view text) noexcept {
    if (count != static_cast<Py_ssize_t>(text.size())) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (chars[i] != static_cast<unsigned char>(text[static_cast<size_t>(i)])) {
            return false;
        }
    }
    return true;
}

template <class Visit>
auto with_chars(const CodePoints& text, Visit&& visit) {
    switch (text.kind) {
        case PyUnicode_1BYTE_KIND:
            return visit(static_cast<const Py_UCS1*>(text.data));
        case PyUnicode_2BYTE_KIND:
            return visit(static_cast<const Py_UCS2*>(text.data));
        default:
            return visit(static_cast<const Py_UCS4*>(text.data));
    }
}

}  // namespace

bool SecretRules::is_fragment(std::string_view joined) const noexcept {
    return fragments_.find(joined) != fragments_.end();
}

template <class Words>
NameKind SecretRules::kind_of_words(const Words& words, bool is_environ_name) const {
    if (!fragments_.empty() && has_secret_words(words)) {
        return NameKind::secret;
    }
    if (words.size() == 0) {
        return NameKind::plain;
    }
    const std::string_view last = words[words.size() - 1];
    if (has(authority_words_, last)) {
        return NameKind::authority;
    }
    return has(environ_words_, last) || is_environ_name ? NameKind::environ : NameKind::plain;
}

template <class Words>
bool SecretRules::has_secret_words(const Words& words) const {
    std::string joined;
    for (size_t start = 0; start < words.size(); ++start) {
        joined.clear();
        for (size_t i = start; i < words.size(); ++i) {
            joined += words[i];
            if (is_fragment(joined) ||
                (joined.back() == 's' && is_fragment(std::string_view(joined).substr(0, joined.size() - 1)))) {
                return true;
            }
            if (joined.size() > longest_) {
                break;
            }
        }
    }
    return false;
}

namespace {

// The words of a short ASCII name, lowered, read in place.
struct ShortWords {
    const char* lower;
    const WordSpan* spans;
    size_t count;
    [[nodiscard]] size_t size() const noexcept { return count; }
    std::string_view operator[](size_t i) const noexcept {
        return {lower + spans[i].start, static_cast<size_t>(spans[i].end - spans[i].start)};
    }
};

}  // namespace

Result<NameKind> SecretRules::kind_of(const CodePoints& name) const noexcept {
    try {
        return with_chars(name, [&](const auto* chars) -> Result<NameKind> {
            const bool is_environ_name =
                std::any_of(environ_names_.begin(), environ_names_.end(),
                            [&](const std::string& text) { return equals_ascii(chars, name.length, text); });
            const bool ascii = std::all_of(chars, chars + name.length, [](auto c) { return c < 0x80; });
            if (ascii && name.length <= static_cast<Py_ssize_t>(SHORT_NAME)) {
                // The usual name: split and lowered on the stack.
                std::array<WordSpan, SHORT_NAME> spans;  // NOLINT: only the first `count` are set
                const size_t count = split_words(chars, name.length, spans.data());
                std::array<char, SHORT_NAME> lower;
                for (Py_ssize_t i = 0; i < name.length; ++i) {
                    const auto c = static_cast<char>(chars[i]);
                    lower[static_cast<size_t>(i)] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
                }
                return kind_of_words(ShortWords{lower.data(), spans.data(), count}, is_environ_name);
            }
            std::vector<WordSpan> spans(static_cast<size_t>(name.length));
            spans.resize(split_words(chars, name.length, spans.data()));
            std::vector<std::string> texts;
            texts.reserve(spans.size());
            for (const WordSpan& span : spans) {
                auto word = lowered(chars, span);
                VESK_TRY(word);
                texts.push_back(std::move(*word));
            }
            return kind_of_words(texts, is_environ_name);
        });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

Result<NameKind> SecretRules::kind_of(PyObject* name) const noexcept {
    auto points = code_points(name);
    VESK_TRY(points);
    return kind_of(*points);
}

Result<SecretRules> SecretRules::make(PyObject* names, PyObject* table) noexcept {
    if (!PyList_CheckExact(names)) {
        return utils::conversion_error(names, "list");
    }
    try {
        SecretRules rules;
        VESK_TRY(rules.read_table(table));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            PyObject* name = PyList_GET_ITEM(names, i);
            if (!PyUnicode_CheckExact(name)) {
                return utils::conversion_error(name, "str");
            }
            auto points = code_points(name);
            VESK_TRY(points);
            auto fragment = with_chars(*points, [&](const auto* chars) -> Result<std::string> {
                std::vector<WordSpan> spans(static_cast<size_t>(points->length));
                spans.resize(split_words(chars, points->length, spans.data()));
                std::string joined;
                for (const WordSpan& span : spans) {
                    auto word = lowered(chars, span);
                    VESK_TRY(word);
                    joined += *word;
                }
                return joined;
            });
            VESK_TRY(fragment);
            if (!fragment->empty()) {
                rules.longest_ = std::max(rules.longest_, fragment->size());
                rules.fragments_.insert(std::move(*fragment));
            }
        }
        return rules;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

namespace {

// The table's entry `key`, borrowed from it.
Result<PyObject*> entry(PyObject* table, const char* key) {
    auto name = utils::checked(PyUnicode_FromString(key));
    VESK_TRY(name);
    PyObject* value = PyDict_GetItemWithError(table, name->get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, name->get());
        }
        return PyError::fetch();
    }
    return value;
}

Result<std::string> ascii_text(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) {
        return PyError::make(PyExc_ValueError, "a secret rule's text must be an ASCII str");
    }
    return std::string(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
}

// A tuple of ASCII texts, none empty.
Result<std::vector<std::string>> ascii_texts(PyObject* texts) {
    if (!PyTuple_CheckExact(texts)) {
        return utils::conversion_error(texts, "tuple");
    }
    std::vector<std::string> read;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts); ++i) {
        auto text = ascii_text(PyTuple_GET_ITEM(texts, i));
        VESK_TRY(text);
        if (text->empty()) {
            return PyError::make(PyExc_ValueError, "a secret rule's text must not be empty");
        }
        read.push_back(std::move(*text));
    }
    return read;
}

Result<Py_ssize_t> count_of(PyObject* number) {
    const Py_ssize_t value = PyLong_CheckExact(number) ? PyLong_AsSsize_t(number) : -1;
    if (value < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "a secret rule's count must be an int from 0");
        }
        return PyError::fetch();
    }
    return value;
}

}  // namespace

utils::Status SecretRules::read_tokens(PyObject* tokens) {
    if (!PyTuple_CheckExact(tokens)) {
        return utils::conversion_error(tokens, "tuple");
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tokens); ++i) {
        PyObject* shape = PyTuple_GET_ITEM(tokens, i);
        if (!PyTuple_CheckExact(shape) || PyTuple_GET_SIZE(shape) != 5) {
            return PyError::make(PyExc_ValueError, "a token format is (prefixes, anchor, body, least, most)");
        }
        auto prefixes = ascii_texts(PyTuple_GET_ITEM(shape, 0));
        VESK_TRY(prefixes);
        auto anchor = ascii_text(PyTuple_GET_ITEM(shape, 1));
        VESK_TRY(anchor);
        auto body = ascii_text(PyTuple_GET_ITEM(shape, 2));
        VESK_TRY(body);
        auto least = count_of(PyTuple_GET_ITEM(shape, 3));
        VESK_TRY(least);
        auto most = count_of(PyTuple_GET_ITEM(shape, 4));
        VESK_TRY(most);
        for (std::string& prefix : *prefixes) {
            const size_t at = anchor->size() == 1 ? prefix.find((*anchor)[0]) : std::string::npos;
            if (at == std::string::npos) {
                return PyError::make(PyExc_ValueError, "a token's anchor must be one character of each prefix");
            }
            tokens_.push_back(
                TokenShape{std::move(prefix), static_cast<Py_ssize_t>(at), CharSet(*body), *least, *most});
        }
    }
    return {};
}

utils::Status SecretRules::read_table(PyObject* table) {
    if (!PyDict_CheckExact(table)) {
        return utils::conversion_error(table, "dict");
    }
    std::vector<std::string>* lists[] = {&authority_words_, &environ_words_, &environ_names_, &bearer_, &schemes_};
    const char* keys[] = {"authority_words", "environ_words", "environ_names", "bearer_schemes", "basic_schemes"};
    for (size_t i = 0; i < std::size(keys); ++i) {
        auto value = entry(table, keys[i]);
        VESK_TRY(value);
        auto texts = ascii_texts(*value);
        VESK_TRY(texts);
        *lists[i] = std::move(*texts);
    }
    schemes_.insert(schemes_.begin(), bearer_.begin(), bearer_.end());
    auto least = entry(table, "bearer_least");
    VESK_TRY(least);
    auto bearer_least = count_of(*least);
    VESK_TRY(bearer_least);
    bearer_least_ = static_cast<size_t>(*bearer_least);
    auto tokens = entry(table, "tokens");
    VESK_TRY(tokens);
    VESK_TRY(read_tokens(*tokens));
    // The start characters in vesk.redaction._Shapes's order: the fixed ones, the tokens' anchors,
    // the schemes' first characters.
    std::string starts(FIXED_STARTS);
    for (const TokenShape& token : tokens_) {
        starts.push_back(token.prefix[static_cast<size_t>(token.anchor)]);
    }
    for (const std::string& scheme : schemes_) {
        starts.push_back(scheme[0]);
    }
    for (const char c : starts) {
        if (starts_.find(c) == std::string::npos) {
            starts_.push_back(c);
        }
    }
    if (starts_.size() > MOST_STARTS) {
        return PyError::make(PyExc_ValueError, "the secret rules have too many start characters");
    }
    for (const char c : starts_) {
        start_table_[static_cast<unsigned char>(c)] = true;
    }
    std::string anchors;
    for (const TokenShape& token : tokens_) {
        anchors.push_back(token.prefix[static_cast<size_t>(token.anchor)]);
    }
    token_anchors_ = CharSet(anchors);
    std::string scheme_starts;
    for (const std::string& scheme : schemes_) {
        scheme_starts.push_back(scheme[0]);
    }
    scheme_starts_ = CharSet(scheme_starts);
    return {};
}

// ---- shapes

namespace {

constexpr CharSet UPPER{"ABCDEFGHIJKLMNOPQRSTUVWXYZ"};
constexpr CharSet LOWER{"abcdefghijklmnopqrstuvwxyz"};
constexpr CharSet DIGITS{"0123456789"};
constexpr CharSet LETTERS_DIGITS = UPPER | LOWER | DIGITS;
constexpr CharSet WORD = LETTERS_DIGITS | CharSet("_");
constexpr CharSet NAME = WORD | CharSet(".-[]");
constexpr CharSet SPACE{" \t\n\r\f\v"};
constexpr CharSet VALUE_END = SPACE | CharSet("&;,\"'<>()[]{}");
constexpr CharSet USER_END = SPACE | CharSet("/?#@:");
constexpr CharSet PASSWORD_END = SPACE | CharSet("/?#@");
constexpr CharSet UPPER_DIGITS = UPPER | DIGITS;
constexpr CharSet CREDENTIALS = LETTERS_DIGITS | CharSet("-._~+/");
constexpr CharSet BASE64 = LETTERS_DIGITS | CharSet("+/");
constexpr CharSet JWT_PART = WORD | CharSet("-");
constexpr CharSet EQUALS{"="};

using Span = std::pair<Py_ssize_t, Py_ssize_t>;
using Found = std::optional<Span>;

// Whether base64 `text` (padded, nothing else) decodes to bytes holding a colon.
bool is_basic_credentials(std::string_view text) noexcept {
    const size_t body = text.find_last_not_of('=') + 1;
    if (body == 0 || text.size() % 4 != 0 || text.size() - body > 2 ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(body),
                     [](char c) { return BASE64.has(static_cast<unsigned char>(c)); })) {
        return false;
    }
    auto sextet = [](char c) -> uint32_t {
        if (c >= 'A' && c <= 'Z') {
            return static_cast<uint32_t>(c - 'A');
        }
        if (c >= 'a' && c <= 'z') {
            return static_cast<uint32_t>(c - 'a' + 26);
        }
        if (c >= '0' && c <= '9') {
            return static_cast<uint32_t>(c - '0' + 52);
        }
        return c == '+' ? 62 : 63;
    };
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < body; ++i) {
        bits = (bits << 6) | sextet(text[i]);
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (((bits >> held) & 0xFF) == ':') {
                return true;
            }
        }
    }
    return false;
}

// One pass over one text, as vesk.redaction._Pass makes it: each finder is given the place of a
// start character and returns the part to replace.
template <class Char>
class Pass {
public:
    Pass(const Char* chars, Py_ssize_t count, const SecretRules& rules) noexcept
        : chars_(chars),
          count_(count),
          rules_(rules) {}

    Result<Found> find(Py_ssize_t at) {
        const Py_UCS4 c = chars_[at];
        if (c == '=') {
            return parameter(at);
        }
        if (c == ':') {
            return Found(userinfo(at));
        }
        Found found = c == '-' ? private_key(at) : c == 'J' ? jwt(at) : std::nullopt;
        // Most start characters met are only the first letter of a scheme (a "b" in a word): the
        // tokens and schemes are tried only where one can be.
        if (!found && rules_.token_anchors().has(c)) {
            for (const TokenShape& token : rules_.tokens()) {
                if (static_cast<unsigned char>(token.prefix[static_cast<size_t>(token.anchor)]) == c) {
                    found = prefixed(at - token.anchor, token);
                    if (found) {
                        break;
                    }
                }
            }
        }
        if (!found && rules_.scheme_starts().has(c)) {
            found = authorization(at);
        }
        return found;
    }
    void replaced_up_to(Py_ssize_t end) noexcept { last_ = end; }

    // The password of "user:password@" at `start`.
    Found userinfo_at(Py_ssize_t start) const noexcept {
        Py_ssize_t colon = run_end_not(start, USER_END);
        if (!is(colon, ":")) {
            return std::nullopt;
        }
        const Py_ssize_t end = run_end_not(colon + 1, PASSWORD_END);
        return end > colon + 1 && is(end, "@") ? Found(Span{colon + 1, end}) : std::nullopt;
    }

private:
    [[nodiscard]] bool is(Py_ssize_t at, std::string_view expected) const noexcept {
        if (at < 0 || at > count_ - static_cast<Py_ssize_t>(expected.size())) {
            return false;
        }
        for (size_t i = 0; i < expected.size(); ++i) {
            if (chars_[at + static_cast<Py_ssize_t>(i)] != static_cast<unsigned char>(expected[i])) {
                return false;
            }
        }
        return true;
    }
    [[nodiscard]] bool in(Py_ssize_t at, const CharSet& set) const noexcept {
        return at >= 0 && at < count_ && set.has(chars_[at]);
    }
    [[nodiscard]] bool one_of(Py_ssize_t at, std::string_view choices) const noexcept {
        return at >= 0 && at < count_ && chars_[at] < 0x80 &&
               choices.find(static_cast<char>(chars_[at])) != std::string_view::npos;
    }
    [[nodiscard]] Py_ssize_t run_end(Py_ssize_t start, const CharSet& set) const noexcept {
        while (start < count_ && set.has(chars_[start])) {
            ++start;
        }
        return start;
    }
    [[nodiscard]] Py_ssize_t run_end_not(Py_ssize_t start, const CharSet& set) const noexcept {
        while (start < count_ && !set.has(chars_[start])) {
            ++start;
        }
        return start;
    }
    // A token may start here: after the last replacement and not inside a word.
    [[nodiscard]] bool word_starts(Py_ssize_t start) const noexcept {
        return start >= last_ && (start == 0 || !WORD.has(chars_[start - 1]));
    }
    [[nodiscard]] bool word_ends(Py_ssize_t end) const noexcept { return end == count_ || !WORD.has(chars_[end]); }

    Result<Found> parameter(Py_ssize_t at) {
        Py_ssize_t start = at;
        while (start > last_ && NAME.has(chars_[start - 1])) {
            --start;
        }
        if (start == at || (start > 0 && NAME.has(chars_[start - 1]))) {
            return Found();
        }
        auto kind = rules_.kind_of(CodePoints{kind_of_char(), chars_ + start, at - start, false});
        VESK_TRY(kind);
        if (*kind != NameKind::secret) {
            return Found();
        }
        const std::optional<Py_ssize_t> end = value_end(at + 1);
        return end ? Found(Span{at + 1, *end}) : Found();
    }

    // Where a parameter's value starting at `start` ends; nothing for no value or a placeholder.
    std::optional<Py_ssize_t> value_end(Py_ssize_t start) const noexcept {
        if (start >= count_) {
            return std::nullopt;
        }
        const Py_UCS4 quote = chars_[start];
        if (quote == '"' || quote == '\'') {
            for (Py_ssize_t i = start + 1; i < count_; ++i) {
                if (chars_[i] == quote) {
                    return i + 1;
                }
            }
            return std::nullopt;
        }
        if (is_placeholder(start)) {
            return std::nullopt;
        }
        const Py_ssize_t end = run_end_not(start, VALUE_END);
        return end > start ? std::optional<Py_ssize_t>(end) : std::nullopt;
    }

    // A bind placeholder ("%s", "%(name)s", "?", ":name", "$1") followed by the end of a value.
    bool is_placeholder(Py_ssize_t start) const noexcept {
        const Py_UCS4 c = chars_[start];
        Py_ssize_t end = 0;
        if (c == '?') {
            end = start + 1;
        } else if (c == '$' || c == ':') {
            end = run_end(start + 1, c == '$' ? DIGITS : WORD);
            if (end == start + 1) {
                return false;
            }
        } else if (is(start, "%s")) {
            end = start + 2;
        } else if (is(start, "%(")) {
            const Py_ssize_t close = run_end(start + 2, WORD);
            if (close == start + 2 || !is(close, ")s")) {
                return false;
            }
            end = close + 2;
        } else {
            return false;
        }
        return end == count_ || VALUE_END.has(chars_[end]);
    }

    Found userinfo(Py_ssize_t at) const noexcept { return is(at, "://") ? userinfo_at(at + 3) : std::nullopt; }

    Found private_key(Py_ssize_t at) const noexcept {
        if (!is(at, "-----BEGIN ")) {
            return std::nullopt;
        }
        Py_ssize_t label_end = at + 11;
        while (!is(label_end, "PRIVATE KEY-----")) {
            const Py_ssize_t word_end = run_end(label_end, UPPER_DIGITS);
            if (word_end == label_end || !is(word_end, " ")) {
                return std::nullopt;
            }
            label_end = word_end + 1;
        }
        const Py_ssize_t body = label_end + 16;
        // "-----END " + the label + "PRIVATE KEY-----": the label is ASCII, checked above.
        std::string closing = "-----END ";
        for (Py_ssize_t i = at + 11; i < label_end; ++i) {
            closing.push_back(static_cast<char>(chars_[i]));
        }
        closing += "PRIVATE KEY-----";
        for (Py_ssize_t i = body; i <= count_ - static_cast<Py_ssize_t>(closing.size()); ++i) {
            if (chars_[i] == '-' && is(i, closing)) {
                return Span{body, i};
            }
        }
        return Span{body, count_};
    }

    // A token of the table that starts with its prefix at `start`.
    Found prefixed(Py_ssize_t start, const TokenShape& token) const noexcept {
        if (!word_starts(start) || !is(start, token.prefix)) {
            return std::nullopt;
        }
        const Py_ssize_t body = start + static_cast<Py_ssize_t>(token.prefix.size());
        Py_ssize_t end = run_end(body, token.body);
        if (token.most != 0) {
            end = std::min(end, body + token.most);
        }
        return end - body >= token.least && word_ends(end) ? Found(Span{start, end}) : std::nullopt;
    }
    Found jwt(Py_ssize_t at) const noexcept {
        const Py_ssize_t start = at - 2;
        if (!(word_starts(start) && is(start, "eyJ"))) {
            return std::nullopt;
        }
        const Py_ssize_t first = run_end(start + 3, JWT_PART);
        if (first - (start + 3) < 8 || !is(first, ".eyJ")) {
            return std::nullopt;
        }
        const Py_ssize_t second = run_end(first + 4, JWT_PART);
        if (second - (first + 4) < 8 || !is(second, ".")) {
            return std::nullopt;
        }
        const Py_ssize_t third = run_end(second + 1, JWT_PART);
        return third - (second + 1) >= 8 ? Found(Span{start, third}) : std::nullopt;
    }
    Found authorization(Py_ssize_t at) const noexcept {
        if (!word_starts(at)) {
            return std::nullopt;
        }
        const std::vector<std::string>& schemes = rules_.schemes();
        const auto scheme = std::find_if(schemes.begin(), schemes.end(), [&](const auto& s) { return is(at, s); });
        if (scheme == schemes.end()) {
            return std::nullopt;
        }
        const Py_ssize_t after = at + static_cast<Py_ssize_t>(scheme->size());
        const Py_ssize_t start = run_end(after, SPACE);
        if (start == after) {
            return std::nullopt;
        }
        const Py_ssize_t end = run_end(run_end(start, CREDENTIALS), EQUALS);
        if (end == start || chars_[start] == '=') {
            return std::nullopt;
        }
        std::string credentials;  // ASCII: every character is one of CREDENTIALS or "="
        for (Py_ssize_t i = start; i < end; ++i) {
            credentials.push_back(static_cast<char>(chars_[i]));
        }
        bool secret = false;
        if (rules_.is_bearer(*scheme)) {
            secret = credentials.size() >= rules_.bearer_least() &&
                     !std::all_of(credentials.begin(), credentials.end(), [](char c) {
                         return UPPER.has(static_cast<unsigned char>(c)) || LOWER.has(static_cast<unsigned char>(c));
                     });
        } else {
            secret = is_basic_credentials(credentials);
        }
        return secret ? Found(Span{start, end}) : std::nullopt;
    }

    static constexpr int kind_of_char() noexcept {
        return sizeof(Char) == 1   ? PyUnicode_1BYTE_KIND
               : sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND
                                   : PyUnicode_4BYTE_KIND;
    }

    const Char* chars_;
    Py_ssize_t count_;
    const SecretRules& rules_;
    Py_ssize_t last_ = 0;  // where the last replacement ended: nothing before it is read again
};

// The places of the start characters, in order. One-byte text is searched by memchr, one start
// character at a time, each found anew only once the pass has gone past it: a text without any costs
// eight memchr calls. A short one (the usual name or word that holds a start character) is read
// character by character instead, which costs less than those calls.
template <class Char>
class Starts {
public:
    Starts(const Char* chars, Py_ssize_t count, const SecretRules& rules) noexcept
        : chars_(chars),
          count_(count),
          rules_(rules) {
        if constexpr (sizeof(Char) == 1) {
            if (count_ > SHORT_SCAN) {
                next_.fill(-1);
            }
        }
    }
    // The first start character at or after `from`, or -1.
    Py_ssize_t next(Py_ssize_t from) noexcept {
        if constexpr (sizeof(Char) == 1) {
            if (count_ <= SHORT_SCAN) {
                return scan(from);
            }
            const std::string_view starts = rules_.starts();
            Py_ssize_t first = -1;
            for (size_t k = 0; k < starts.size(); ++k) {
                if (next_[k] != count_ && next_[k] < from) {
                    const void* found = from < count_
                                            ? std::memchr(chars_ + from, starts[k], static_cast<size_t>(count_ - from))
                                            : nullptr;
                    next_[k] = found != nullptr ? static_cast<const Char*>(found) - chars_ : count_;
                }
                if (next_[k] != count_ && (first < 0 || next_[k] < first)) {
                    first = next_[k];
                }
            }
            return first;
        } else {
            return scan(from);
        }
    }

private:
    static constexpr Py_ssize_t SHORT_SCAN = 64;

    [[nodiscard]] Py_ssize_t scan(Py_ssize_t from) const noexcept {
        for (Py_ssize_t i = from; i < count_; ++i) {
            if (rules_.is_start(chars_[i])) {
                return i;
            }
        }
        return -1;
    }

    const Char* chars_;
    Py_ssize_t count_;
    const SecretRules& rules_;
    // For one-byte text past SHORT_SCAN: each start character's next place, count_ for none.
    std::array<Py_ssize_t, SecretRules::MOST_STARTS> next_;
};

template <class Char>
Result<Spans> spans_in(const Char* chars, Py_ssize_t count, const SecretRules& rules) {
    Spans spans;
    Starts<Char> starts(chars, count, rules);
    Pass<Char> pass(chars, count, rules);
    for (Py_ssize_t at = starts.next(0); at >= 0;) {
        auto found = pass.find(at);
        VESK_TRY(found);
        if (!*found) {
            at = starts.next(at + 1);
            continue;
        }
        spans.push_back(**found);
        pass.replaced_up_to((*found)->second);
        at = starts.next((*found)->second);
    }
    return spans;
}

}  // namespace

Result<Spans> secret_spans(const CodePoints& text, Py_ssize_t count, const SecretRules& rules) noexcept {
    try {
        return with_chars(text, [&](const auto* chars) { return spans_in(chars, count, rules); });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

Spans authority_span(const CodePoints& text) noexcept {
    static const SecretRules no_names;
    return with_chars(text, [&](const auto* chars) {
        Pass pass(chars, text.length, no_names);
        Spans spans;
        if (const auto span = pass.userinfo_at(0)) {
            spans.push_back(*span);
        }
        return spans;
    });
}

namespace {

// Copies the kept parts and the replacements into `out`, one character of `Char` each.
template <class Char>
void fill(const Char* chars, Py_ssize_t count, const Spans& spans, Char* out) noexcept {
    Py_ssize_t from = 0;
    for (const auto& [start, end] : spans) {
        out = std::copy(chars + from, chars + start, out);
        out = std::copy(REDACTED.begin(), REDACTED.end(), out);
        from = end;
    }
    std::copy(chars + from, chars + count, out);
}

Py_ssize_t replaced_length(Py_ssize_t count, const Spans& spans) noexcept {
    Py_ssize_t length = count;
    for (const auto& [start, end] : spans) {
        length += static_cast<Py_ssize_t>(REDACTED.size()) - (end - start);
    }
    return length;
}

}  // namespace

Result<PyRef> replaced(PyObject* text, Py_ssize_t count, const Spans& spans) noexcept {
    const Py_ssize_t length = replaced_length(count, spans);
    if (PyBytes_Check(text)) {
        auto bytes = utils::checked(PyBytes_FromStringAndSize(nullptr, length));
        VESK_TRY(bytes);
        fill(reinterpret_cast<const Py_UCS1*>(PyBytes_AS_STRING(text)), count, spans,
             reinterpret_cast<Py_UCS1*>(PyBytes_AS_STRING(bytes->get())));
        return bytes;
    }
    auto points = code_points(text);
    VESK_TRY(points);
    try {
        // Made in the text's own kind, then narrowed by the interpreter: a str must have the narrowest
        // kind its characters need (equal texts of different kinds compare unequal).
        return with_chars(*points, [&](const auto* chars) -> Result<PyRef> {
            using Char = std::remove_cv_t<std::remove_pointer_t<decltype(chars)>>;
            std::vector<Char> buffer(static_cast<size_t>(length));
            fill(chars, count, spans, buffer.data());
            return utils::checked(PyUnicode_FromKindAndData(points->kind, buffer.data(), length));
        });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

}  // namespace vesk::serialize
