// Python text as UTF-8, cut to a number of code points, the way the Python serialiser writes it: a
// lone surrogate either makes the text unwritable (as msgpack's packer refuses it) or becomes the
// "\udXXX" escape of the "backslashreplace" error handler.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "serialize/output.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

// The code points of a str (or of a str subclass, read without running its methods).
struct CodePoints {
    int kind;
    const void* data;
    Py_ssize_t length;
    bool ascii;
};

// Fails only for a legacy string that cannot be made ready (out of memory).
[[nodiscard]] utils::Result<CodePoints> code_points(PyObject* text) noexcept;

enum class Surrogates : bool { refuse, escape };

struct Utf8Size {
    Py_ssize_t bytes;
    bool surrogates;  // a lone surrogate was met: refused (bytes unset) or escaped
};

// UTF-8 size of the first `count` code points.
[[nodiscard]] Utf8Size utf8_size(const CodePoints& text, Py_ssize_t count, Surrogates surrogates) noexcept;

// Writes the first `count` code points, surrogates escaped; `out` has room for their `utf8_size`.
void write_utf8(const CodePoints& text, Py_ssize_t count, char* out) noexcept;

// Appends the first `count` code points, surrogates escaped.
void append_utf8(Output& out, const CodePoints& text, Py_ssize_t count) noexcept;

// The "…[+N chars]" suffix of a cut text and its relatives.
inline constexpr std::string_view ELLIPSIS = "\xe2\x80\xa6";

// Decimal and "0x"-prefixed lowercase hexadecimal, as Python's "{n}" and "{n:#x}" write them.
void append_decimal(Output& out, int64_t value) noexcept;
void append_hex(Output& out, uintptr_t value) noexcept;

// "…[+N chars]" and the like into a small buffer; returns the used part.
struct Suffix {
    char buffer[48];
    size_t size = 0;
    [[nodiscard]] std::string_view view() const noexcept { return {buffer, size}; }
};
[[nodiscard]] Suffix cut_suffix(int64_t left_out, std::string_view unit) noexcept;

}  // namespace vesk::serialize
