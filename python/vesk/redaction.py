"""The rules for secrets in recorded values, in Python.

The engine holds the same rules natively (src/serialize/secrets.cpp) and `vesk.serialize` uses those
whenever the engine is built; this module is what it uses without it, and the reference that every
case of the rules is checked against (tests/host/test_redaction.py runs each through both).

Names. A name is secret when a run of its words, joined, is a secret name (normalised: lower case,
no separators), or that plus "s". Words split at separators, at lower-to-upper case and letter-digit
changes, and before the last capital of a run of capitals followed by a lower-case letter: so
"X-Api-Key", "apiKey", "APIKey", "HTTP_X_API_KEY" and "apikey" all contain "api_key", while "author"
does not contain "auth" nor "tokenizer" "token". Two more kinds of name say what a value is: a
"host" or "netloc" holds an authority, where "user:password@host" hides its password, and an
"environ" (or Django's "META") holds a WSGI environment.

Shapes. One pass from left to right over a text finds, at each place where one can start, the first
of these that matches there, replaces its secret part with "<redacted>" and goes on after it: a
private key block; a URL's password ("scheme://user:<redacted>@"); a secret-named `name=value`
parameter (not a placeholder such as "%s" or ":name"); a Bearer credential of at least 8 characters
that is not a plain word, or a Basic one that decodes to "user:password"; GitHub, Slack, AWS, Stripe
and JWT tokens. Every place is found from a few characters (`_Shapes.starts`), so a text without them costs
one search for a set of characters and nothing more. Bytes follow the same rules, each byte read as
one character.

The rules themselves (the words of names that say what a value is, the token formats, the
authorization schemes) are one table, `RULES`, that both serialisers take: `vesk.serialize` hands it
to the engine's serialiser with the secret names.
"""

from __future__ import annotations

import binascii
import string

# No typing at import time: `vesk run` imports this file before the program starts.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

REDACTED_TEXT = "<redacted>"

# What a name says about the value held under it.
PLAIN, SECRET, AUTHORITY, ENVIRON = range(4)

_ASCII_LETTERS_DIGITS = string.ascii_letters + string.digits
_ASCII_UPPER_DIGITS = string.ascii_uppercase + string.digits

RULES = {
    # The last word of a name that holds an authority ("user:password@host").
    "authority_words": ("host", "hosts", "netloc"),
    # The last word of a name, and whole names, that hold a WSGI environment.
    "environ_words": ("environ",),
    "environ_names": ("META",),
    # Well-known token formats: (prefixes, anchor, body characters, least, most). A token is one of the
    # prefixes at the start of a word, then a body of at least `least` (and, if `most`, at most `most`)
    # of the body characters that ends the word. It is looked for from its anchor, the prefix's first
    # character of that kind: a character rare in ordinary text, so that a text without any costs a
    # search and no more. Tried in this order at a place.
    "tokens": (
        (("ghp_", "gho_", "ghu_", "ghs_", "ghr_"), "_", _ASCII_LETTERS_DIGITS, 36, 0),  # GitHub
        (("github_pat_",), "_", _ASCII_LETTERS_DIGITS + "_", 22, 0),  # GitHub fine-grained
        (("rk_live_", "sk_live_"), "_", _ASCII_LETTERS_DIGITS, 16, 0),  # Stripe
        (("xoxa-", "xoxb-", "xoxp-", "xoxr-", "xoxs-"), "-", _ASCII_LETTERS_DIGITS + "-", 10, 0),  # Slack
        (("AKIA", "ASIA"), "I", _ASCII_UPPER_DIGITS, 16, 16),  # AWS access key ids
    ),
    # Authorization schemes: a Bearer credential of at least `bearer_least` characters that is not a
    # plain word, a Basic one that decodes to "user:password".
    "bearer_schemes": ("Bearer", "bearer", "BEARER"),
    "bearer_least": 8,
    "basic_schemes": ("Basic", "basic", "BASIC"),
}

# --- names ------------------------------------------------------------------------------------------


def name_words(name: str) -> list[str]:
    """The words of a name, in lower case."""
    words = []
    start = None
    previous = ""
    for index, char in enumerate(name):
        if not char.isalnum():
            if start is not None:
                words.append(name[start:index])
            start = None
            previous = ""
            continue
        if start is not None and (
            (previous.islower() and char.isupper())
            or previous.isdigit() != char.isdigit()
            or (previous.isupper() and char.isupper() and name[index + 1 : index + 2].islower())
        ):
            words.append(name[start:index])
            start = None
        if start is None:
            start = index
        previous = char
    if start is not None:
        words.append(name[start:])
    return [word.lower() for word in words]


class NameRules:
    """The secret names, as their joined words, with a cache of verdicts, and the rules of `RULES`
    (or of the table given) made ready for use."""

    CACHE_SIZE = 10_000

    def __init__(self, secret_names: Any = (), rules: dict | None = None) -> None:
        rules = RULES if rules is None else rules
        self.fragments = frozenset(fragment for fragment in ("".join(name_words(name)) for name in secret_names) if fragment)
        self.longest = max(map(len, self.fragments), default=0)
        self.cache: dict[str, int] = {}
        self.authority_words = frozenset(rules["authority_words"])
        self.environ_words = frozenset(rules["environ_words"])
        self.environ_names = frozenset(rules["environ_names"])
        self.shapes = _Shapes(rules)

    def kind(self, name: str) -> int:
        hit = self.cache.get(name)
        if hit is None:
            hit = self._kind(name_words(name), name)
            if len(self.cache) >= self.CACHE_SIZE:
                self.cache.clear()
            self.cache[name] = hit
        return hit

    def _kind(self, words: list[str], name: str) -> int:
        if self._has_secret_words(words):
            return SECRET
        if not words:
            return PLAIN
        if words[-1] in self.authority_words:
            return AUTHORITY
        return ENVIRON if words[-1] in self.environ_words or name in self.environ_names else PLAIN

    def _has_secret_words(self, words: list[str]) -> bool:
        fragments = self.fragments
        for start in range(len(words)):
            joined = ""
            for word in words[start:]:
                joined += word
                if joined in fragments or (joined[-1] == "s" and joined[:-1] in fragments):
                    return True
                if len(joined) > self.longest:
                    break
        return False


# --- shapes -----------------------------------------------------------------------------------------

_LETTERS_DIGITS = frozenset(string.ascii_letters + string.digits)
_WORD = _LETTERS_DIGITS | {"_"}
_NAME = _WORD | frozenset(".-[]")
_SPACE = frozenset(" \t\n\r\f\v")
_VALUE_END = _SPACE | frozenset("&;,\"'<>()[]{}")
_USER_END = _SPACE | frozenset("/?#@:")
_PASSWORD_END = _SPACE | frozenset("/?#@")
_UPPER_DIGITS = frozenset(_ASCII_UPPER_DIGITS)
_CREDENTIALS = _LETTERS_DIGITS | frozenset("-._~+/")
_BASE64 = _LETTERS_DIGITS | frozenset("+/")
_JWT_PART = _WORD | {"-"}
_DIGITS = frozenset(string.digits)

# The shapes of fixed form, each looked for from one character at a known place inside it: a secret-
# named parameter from its "=", a URL's userinfo from "://", a private key from "-----BEGIN ", a JWT
# from the "J" of "eyJ". The table's tokens and schemes add theirs.
_FIXED_STARTS = "=:-J"


class _Shapes:
    """The table's token formats and schemes by the character each is looked for from."""

    def __init__(self, rules: dict) -> None:
        self.tokens: dict[str, list[tuple[str, int, frozenset, int, int]]] = {}
        for prefixes, anchor, body, least, most in rules["tokens"]:
            for prefix in prefixes:
                entry = (prefix, prefix.index(anchor), frozenset(body), least, most)
                self.tokens.setdefault(anchor, []).append(entry)
        self.bearer = tuple(rules["bearer_schemes"])
        self.bearer_least = rules["bearer_least"]
        self.schemes = self.bearer + tuple(rules["basic_schemes"])
        starts = _FIXED_STARTS + "".join(self.tokens) + "".join(scheme[0] for scheme in self.schemes)
        self.starts = "".join(dict.fromkeys(starts))
        self.scheme_starts = frozenset(scheme[0] for scheme in self.schemes)
        self._search: Any = None

    def search(self, text: str, start: int = 0) -> Any:
        if self._search is None:
            import re  # only when a text is first searched: `vesk run` never imports re for itself

            self._search = re.compile("[" + re.escape(self.starts) + "]").search  # a set of characters: linear
        return self._search(text, start)


def _run_end(text: str, start: int, chars: frozenset) -> int:
    end = start
    length = len(text)
    while end < length and text[end] in chars:
        end += 1
    return end


def _word_starts(text: str, start: int, last: int) -> bool:
    """Whether a token may start at `start`: after the last replacement and not inside a word."""
    return start >= last and (start == 0 or text[start - 1] not in _WORD)


def _word_ends(text: str, end: int) -> bool:
    return end == len(text) or text[end] not in _WORD


class _Pass:
    """One pass over one text. Each finder is given the place of a start character and returns the
    (start, end) of the part to replace, or None."""

    __slots__ = ("text", "last", "rules", "shapes")

    def __init__(self, text: str, rules: NameRules) -> None:
        self.text = text
        self.last = 0  # where the last replacement ended: nothing before it is read again
        self.rules = rules
        self.shapes = rules.shapes

    def find(self, at: int) -> tuple[int, int] | None:
        char = self.text[at]
        if char == "=":
            return self.parameter(at)
        if char == ":":
            return self.userinfo(at)
        found = None
        if char == "-":
            found = self.private_key(at)
        elif char == "J":
            found = self.jwt(at)
        for prefix, anchor, body, least, most in self.shapes.tokens.get(char, ()):
            if found is not None:
                break
            found = self.prefixed(at - anchor, prefix, body, least, most)
        if found is None and char in self.shapes.scheme_starts:
            found = self.authorization(at)
        return found

    def parameter(self, at: int) -> tuple[int, int] | None:
        text = self.text
        start = at
        while start > self.last and text[start - 1] in _NAME:
            start -= 1
        if start == at or (start > 0 and text[start - 1] in _NAME) or self.rules.kind(text[start:at]) != SECRET:
            return None
        end = _value_end(text, at + 1)
        return None if end is None else (at + 1, end)

    def userinfo(self, at: int) -> tuple[int, int] | None:
        if not self.text.startswith("://", at):
            return None
        return userinfo_at(self.text, at + 3)

    def private_key(self, at: int) -> tuple[int, int] | None:
        text = self.text
        if not text.startswith("-----BEGIN ", at):
            return None
        label_end = at + 11
        while not text.startswith("PRIVATE KEY-----", label_end):
            word_end = _run_end(text, label_end, _UPPER_DIGITS)
            if word_end == label_end or not text.startswith(" ", word_end):
                return None
            label_end = word_end + 1
        body = label_end + 16
        end = text.find(f"-----END {text[at + 11 : label_end]}PRIVATE KEY-----", body)
        return body, (len(text) if end < 0 else end)

    def prefixed(self, start: int, prefix: str, body: frozenset, least: int, most: int) -> tuple[int, int] | None:
        """A token of the table that starts with `prefix` at `start`."""
        text = self.text
        if not (_word_starts(text, start, self.last) and text.startswith(prefix, start)):
            return None
        body_start = start + len(prefix)
        end = _run_end(text, body_start, body)
        if most:
            end = min(end, body_start + most)
        return (start, end) if end - body_start >= least and _word_ends(text, end) else None

    def jwt(self, at: int) -> tuple[int, int] | None:
        start = at - 2
        text = self.text
        if not (_word_starts(text, start, self.last) and text.startswith("eyJ", start)):
            return None
        end = start
        for part in range(3):
            if part:
                if not text.startswith("." if part == 2 else ".eyJ", end):
                    return None
                end += 1 if part == 2 else 4
            else:
                end += 3
            part_end = _run_end(text, end, _JWT_PART)
            if part_end - end < 8:
                return None
            end = part_end
        return start, end

    def authorization(self, at: int) -> tuple[int, int] | None:
        text = self.text
        if not _word_starts(text, at, self.last):
            return None
        scheme = next((scheme for scheme in self.shapes.schemes if text.startswith(scheme, at)), None)
        if scheme is None:
            return None
        start = _run_end(text, at + len(scheme), _SPACE)
        if start == at + len(scheme):
            return None
        end = _run_end(text, _run_end(text, start, _CREDENTIALS), {"="})
        credentials = text[start:end]
        if not credentials or credentials[0] == "=":
            return None
        if scheme in self.shapes.bearer:
            secret = len(credentials) >= self.shapes.bearer_least and not credentials.isalpha()
        else:
            secret = is_basic_credentials(credentials)
        return (start, end) if secret else None


def _value_end(text: str, start: int) -> int | None:
    """Where a parameter's value starting at `start` ends; None for no value or a placeholder."""
    if start >= len(text):
        return None
    quote = text[start]
    if quote in "\"'":
        close = text.find(quote, start + 1)
        return None if close < 0 else close + 1
    if _is_placeholder(text, start):
        return None
    end = start
    while end < len(text) and text[end] not in _VALUE_END:
        end += 1
    return end if end > start else None


def _is_placeholder(text: str, start: int) -> bool:
    """A bind placeholder ("%s", "%(name)s", "?", ":name", "$1") followed by the end of a value."""
    char = text[start]
    if char == "?":
        end = start + 1
    elif char == "$" or char == ":":
        end = _run_end(text, start + 1, _DIGITS if char == "$" else _WORD)
        if end == start + 1:
            return False
    elif text.startswith("%s", start):
        end = start + 2
    elif text.startswith("%(", start):
        close = _run_end(text, start + 2, _WORD)
        if close == start + 2 or not text.startswith(")s", close):
            return False
        end = close + 2
    else:
        return False
    return end == len(text) or text[end] in _VALUE_END


def userinfo_at(text: str, start: int) -> tuple[int, int] | None:
    """The password of "user:password@" at `start`, as (start, end)."""
    colon = start
    while colon < len(text) and text[colon] not in _USER_END:
        colon += 1
    if not text.startswith(":", colon):
        return None
    end = colon + 1
    while end < len(text) and text[end] not in _PASSWORD_END:
        end += 1
    return (colon + 1, end) if end > colon + 1 and text.startswith("@", end) else None


def is_basic_credentials(text: str) -> bool:
    """Whether `text` is base64 (padded, no other characters) of a text holding a colon."""
    body = text.rstrip("=")
    if not body or len(text) % 4 or len(text) - len(body) > 2 or not all(char in _BASE64 for char in body):
        return False
    return b":" in binascii.a2b_base64(text)


def redact_text(text: str, rules: NameRules) -> str:
    """`text` with the secrets found by their shape replaced; the very object when it has none.
    `rules` says which parameter names are secret and holds the table's shapes."""
    search_from = rules.shapes.search
    found = search_from(text)
    if found is None:
        return text
    search = _Pass(text, rules)
    pieces = []
    while found is not None:
        at = found.start()
        span = search.find(at)
        if span is None:
            found = search_from(text, at + 1)
            continue
        pieces.append(text[search.last : span[0]])
        pieces.append(REDACTED_TEXT)
        search.last = span[1]
        found = search_from(text, span[1])
    if not pieces:
        return text
    pieces.append(text[search.last :])
    return "".join(pieces)


def redact_authority(text: str) -> str:
    """An authority ("user:password@host") with its password replaced; the very object otherwise."""
    span = userinfo_at(text, 0)
    return text if span is None else f"{text[: span[0]]}{REDACTED_TEXT}{text[span[1] :]}"
