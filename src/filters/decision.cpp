#include "filters/decision.hpp"

#include <optional>

#include "utils/convert.hpp"
#include "utils/interned.hpp"
#include "utils/pyref.hpp"

namespace vesk::filters {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

constexpr std::string_view PYTEST_EXPRESSION = "<pytest match expression>";
constexpr std::string_view ATTRS_GENERATED = "<attrs generated";
constexpr std::string_view ATTRS_MAKE = "attr/_make.py";

// The default sets. Each is built by the first event that needs it (function-local statics: one
// thread builds, any other waits for it) and then kept, unchanged and shared, for the whole process.
// Paths use the forward slash; Windows-style paths are not recognised.
const std::vector<Finder>& library_finders() {
    static const std::vector<Finder> LIBRARY_FINDERS = build_finders({"lib/python", "/site-packages/"});
    return LIBRARY_FINDERS;
}

const Finder& frozen_finder() {
    static const Finder FROZEN_FINDER("<frozen ");
    return FROZEN_FINDER;
}

// The host package's own modules. Its plugins directory is deliberately absent: plugin code is the
// user's business to see.
const std::vector<Finder>& vesk_finders() {
    static const std::vector<Finder> VESK_FINDERS = build_finders({
        "/vesk/config.py",
        "/vesk/db.py",
        "/vesk/django_schema.py",
        "/vesk/filters/",
        "/vesk/generate_tests/",
        "/vesk/git.py",
        "/vesk/__init__.py",
        "/vesk/__main__.py",
        "/vesk/middleware.py",
        "/vesk/profiler.py",
        "/vesk/pytest_plugin.py",
        "/vesk/serialize.py",
        "/vesk/utils.py",
        "/vesk/version.py",
    });
    return VESK_FINDERS;
}

const Finder& exec_finder() {
    static const Finder EXEC_FINDER("<string>");
    return EXEC_FINDER;
}

// One attribute read of attrs_filter; a failure is a broken invariant, reported with `text`.
Result<PyRef> read(PyObject* object, PyObject* name, std::string_view text) noexcept {
    auto value = utils::checked(PyObject_GetAttr(object, name));
    if (!value) {
        return utils::internal_error(text, value.error());
    }
    return value;
}

// The code filename of `frame`. The text borrows from `object`, which keeps it alive.
struct Filename {
    PyRef object;
    std::string_view text;
};

Result<Filename> code_filename(PyObject* frame) noexcept {
    auto code = read(frame, utils::interned().f_code, "A frame has a code object.");
    VESK_TRY(code);
    auto object = read(code->get(), utils::interned().co_filename, "A code object has a filename.");
    VESK_TRY(object);
    auto text = utils::string_view_of(object->get());
    if (!text) {
        return utils::internal_error("A filename is a string.", text.error());
    }
    return Filename{std::move(*object), *text};
}

}  // namespace

bool library_filter(std::string_view filename) noexcept { return any_found_in(library_finders(), filename); }

bool frozen_filter(std::string_view filename) noexcept { return frozen_finder().found_in(filename); }

bool vesk_filter(std::string_view filename) noexcept { return any_found_in(vesk_finders(), filename); }

bool exec_filter(std::string_view filename) noexcept { return exec_finder().found_in(filename); }

bool pytest_filter(std::string_view filename) noexcept { return filename == PYTEST_EXPRESSION; }

namespace {

// The filename of the code `caller` runs, for a real frame: the same reads as the attribute path
// below, without the generic attribute lookups.
std::optional<std::string_view> real_frame_filename(PyObject* caller, PyRef& code) noexcept {
    code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(caller))));
    auto text = utils::string_view_of(reinterpret_cast<PyCodeObject*>(code.get())->co_filename);
    if (!text) {
        return std::nullopt;
    }
    return *text;
}

// attrs' test for a real frame: its caller, or when the caller has no filename its caller's caller.
std::optional<bool> real_frame_made_by_attrs(PyObject* frame, KnownFrame known) noexcept {
    PyRef caller = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame))));
    if (!caller) {
        return false;
    }
    if (caller.get() == known.frame && !known.filename.empty()) {
        return known.filename.ends_with(ATTRS_MAKE);
    }
    PyRef code;
    auto filename = real_frame_filename(caller.get(), code);
    if (!filename) {
        return std::nullopt;
    }
    if (!filename->empty()) {
        return filename->ends_with(ATTRS_MAKE);
    }
    PyRef grand_caller =
        PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(caller.get()))));
    if (!grand_caller) {
        return false;
    }
    auto grand_filename = real_frame_filename(grand_caller.get(), code);
    if (!grand_filename) {
        return std::nullopt;
    }
    return grand_filename->ends_with(ATTRS_MAKE);
}

}  // namespace

Result<bool> attrs_filter(PyObject* frame, std::string_view filename, KnownFrame known) noexcept {
    if (filename.starts_with(ATTRS_GENERATED)) {
        return true;
    }
    if (Py_IS_TYPE(frame, &PyFrame_Type)) {
        if (auto made_by_attrs = real_frame_made_by_attrs(frame, known)) {
            return *made_by_attrs;
        }
        // Otherwise a filename without a UTF-8 form: the attribute path below reports it as it should.
    }
    constexpr std::string_view no_back = "A frame has an `f_back` attribute.";
    auto caller = read(frame, utils::interned().f_back, no_back);
    VESK_TRY(caller);
    if (caller->get() == Py_None) {
        return false;
    }
    auto caller_filename = code_filename(caller->get());
    VESK_TRY(caller_filename);
    if (!caller_filename->text.empty()) {
        return caller_filename->text.ends_with(ATTRS_MAKE);
    }
    // A caller without a filename (code built by hand) is a trampoline: its own caller decides. Two
    // levels and never more.
    auto grand_caller = read(caller->get(), utils::interned().f_back, no_back);
    VESK_TRY(grand_caller);
    if (grand_caller->get() == Py_None) {
        return false;
    }
    auto grand_caller_filename = code_filename(grand_caller->get());
    VESK_TRY(grand_caller_filename);
    return grand_caller_filename->text.ends_with(ATTRS_MAKE);
}

FilenameVerdict filename_verdict(const FrameFilters& filters, std::string_view filename) noexcept {
    // record = include OR NOT (library OR frozen OR host OR exec OR pytest OR attrs OR ignore).
    if (any_found_in(filters.include, filename)) {
        return FilenameVerdict::Record;
    }
    if (library_filter(filename) || frozen_filter(filename) || vesk_filter(filename) || exec_filter(filename) ||
        pytest_filter(filename) || any_found_in(filters.ignore, filename)) {
        return FilenameVerdict::Drop;
    }
    return FilenameVerdict::CallerDecides;
}

Result<bool> should_record(const FrameFilters& filters, PyObject* frame, std::string_view filename) noexcept {
    // The path tests are pure (no allocation, no Python, cannot fail). The attrs test is not: reading
    // the caller materialises its frame object, an allocation on every event. So it runs only when the
    // filename leaves the outcome open; for a frame the filename already includes or drops, its only
    // possible effect would be an invariant error from a frame the interpreter itself handed us.
    switch (filename_verdict(filters, filename)) {
        case FilenameVerdict::Record:
            return true;
        case FilenameVerdict::Drop:
            return false;
        case FilenameVerdict::CallerDecides:
            break;
    }
    auto attrs = attrs_filter(frame, filename);
    VESK_TRY(attrs);
    return !*attrs;
}

}  // namespace vesk::filters
