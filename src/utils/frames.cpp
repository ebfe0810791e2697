#include "utils/frames.hpp"
#include "utils/modules.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

#include "utils/bytes.hpp"
#include "utils/convert.hpp"
#include "utils/interned.hpp"

namespace vesk::utils {

namespace {

PyError out_of_memory() noexcept {
    PyErr_NoMemory();
    return PyError::fetch();
}

Result<PyRef> get_attr(PyObject* object, PyObject* name) noexcept { return checked(PyObject_GetAttr(object, name)); }

Result<ThreadInfo> current_thread_impl() {
    auto threading = import_module(interned().threading);
    VESK_TRY(threading);
    auto function = get_attr(threading->get(), interned().current_thread);
    VESK_TRY(function);
    auto thread = checked(PyObject_CallNoArgs(function->get()));
    VESK_TRY(thread);
    auto name_object = get_attr(thread->get(), interned().name);
    VESK_TRY(name_object);
    auto name = string_view_of(name_object->get());
    VESK_TRY(name);
    ThreadInfo info{std::string(*name), std::nullopt};
    auto native_id = get_attr(thread->get(), interned().native_id);
    if (!native_id) {
        if (native_id.error().matches(PyExc_AttributeError)) {
            return info;  // a thread object without "native_id": the id is simply unknown
        }
        return std::move(native_id.error());
    }
    if (native_id->get() == Py_None) {
        return info;
    }
    auto id = u64_of(native_id->get());
    VESK_TRY(id);
    info.native_id = *id;
    return info;
}

// Walks a path's components the way a component-wise comparison sees them: runs of separators
// count as one and "." components vanish.
class Components {
public:
    explicit Components(std::string_view path) noexcept : path_(path) {}

    std::optional<std::string_view> next() noexcept {
        while (pos_ < path_.size()) {
            while (pos_ < path_.size() && path_[pos_] == '/') {
                ++pos_;
            }
            const size_t start = pos_;
            while (pos_ < path_.size() && path_[pos_] != '/') {
                ++pos_;
            }
            const std::string_view component = path_.substr(start, pos_ - start);
            if (!component.empty() && component != ".") {
                return component;
            }
        }
        return std::nullopt;
    }

    // What is left, without leading separators, "." components or trailing separators.
    [[nodiscard]] std::string_view rest() const noexcept {
        size_t start = pos_;
        while (true) {
            while (start < path_.size() && path_[start] == '/') {
                ++start;
            }
            const bool dot = start < path_.size() && path_[start] == '.' &&
                             (start + 1 == path_.size() || path_[start + 1] == '/');
            if (!dot) {
                break;
            }
            ++start;
        }
        std::string_view left = path_.substr(start);
        while (!left.empty() && left.back() == '/') {
            left.remove_suffix(1);
        }
        return left;
    }

private:
    std::string_view path_;
    size_t pos_ = 0;
};

// The part of `path` below `directory`, compared component by component, or nothing when `path`
// does not lie inside it.
std::optional<std::string_view> relative_to(std::string_view path, std::string_view directory) noexcept {
    if (path.starts_with('/') != directory.starts_with('/')) {
        return std::nullopt;
    }
    Components in_path(path);
    Components in_directory(directory);
    while (const auto expected = in_directory.next()) {
        const auto found = in_path.next();
        if (!found || *found != *expected) {
            return std::nullopt;
        }
    }
    return in_path.rest();
}

Result<std::string> read_working_directory() {
    char on_stack[PATH_MAX];
    if (getcwd(on_stack, sizeof on_stack) != nullptr) {
        return std::string(on_stack);
    }
    int error = errno;
    std::string grown;
    size_t capacity = sizeof on_stack;
    while (error == ERANGE) {  // deeper than PATH_MAX: possible, just rare
        capacity *= 2;
        grown.resize(capacity);
        if (getcwd(grown.data(), grown.size()) != nullptr) {
            grown.resize(std::strlen(grown.c_str()));
            return grown;
        }
        error = errno;
    }
    // An ordinary OSError, not an internal error: the event is dropped and the program runs on.
    return PyError::make(PyExc_OSError, std::string("Current directory is invalid: ") + std::strerror(error));
}

// The working directory, read again only after the program has changed it: os.chdir and os.fchdir
// announce themselves through the "os.chdir" audit event, so most events need no system call.
// Guarded by the interpreter lock, like the audit hook that marks it stale.
struct WorkingDirectory {
    std::string path;
    uint64_t generation = 0;  // counts the reads, so that texts built from `path` know when to renew
    bool stale = true;
    bool watched = false;  // without the audit hook, every event reads the directory afresh
};
WorkingDirectory working_directory_cache;

int mark_working_directory_stale(const char* event, PyObject*, void*) noexcept {
    if (std::strcmp(event, "os.chdir") == 0) {
        working_directory_cache.stale = true;
    }
    return 0;
}

// A directory that cannot be read (a program that removed its own) shortens nothing: paths are
// recorded whole, and the directory is read again at every event until it can be, rather than
// events being lost and reported one by one.
Result<std::string_view> working_directory() {
    WorkingDirectory& cache = working_directory_cache;
    if (cache.stale || !cache.watched) {
        auto path = read_working_directory();
        cache.path = path ? std::move(*path) : std::string();
        cache.stale = !path;
        ++cache.generation;
    }
    return std::string_view(cache.path);
}

// The filename's bytes as the file system has them, even when they are not valid UTF-8. The view
// borrows from `filename` or, for undecodable names, from `holder`.
Result<std::string_view> filename_bytes(PyObject* filename, PyRef& holder) {
    if (!PyUnicode_Check(filename)) {
        return conversion_error(filename, "PyString");
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(filename, &size); utf8 != nullptr) {
        return std::string_view(utf8, static_cast<size_t>(size));
    }
    // Intended: surrogates from undecodable bytes have no UTF-8 form; the file system encoding
    // gives the original bytes back (or raises a conversion error of its own, returned below).
    PyErr_Clear();
    auto encoded = checked(PyUnicode_EncodeFSDefault(filename));
    VESK_TRY(encoded);
    holder = std::move(*encoded);
    return std::string_view(PyBytes_AS_STRING(holder.get()), static_cast<size_t>(PyBytes_GET_SIZE(holder.get())));
}

struct SourcePosition {
    PyRef filename;
    uint64_t line;
};

// A real frame answers directly; anything else is read through its attributes.
Result<SourcePosition> source_position(PyObject* frame) {
    if (Py_IS_TYPE(frame, &PyFrame_Type)) {
        auto* real = reinterpret_cast<PyFrameObject*>(frame);
        const int line = PyFrame_GetLineNumber(real);
        if (line >= 0) {
            PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(real)));
            return SourcePosition{PyRef::borrow(reinterpret_cast<PyCodeObject*>(code.get())->co_filename),
                                  static_cast<uint64_t>(line)};
        }
        // No line (its "f_lineno" is None): the attribute path below reports that as it should.
    }
    auto code = get_attr(frame, interned().f_code);
    VESK_TRY(code);
    auto filename = get_attr(code->get(), interned().co_filename);
    VESK_TRY(filename);
    auto lineno = get_attr(frame, interned().f_lineno);
    VESK_TRY(lineno);
    auto line = u64_of(lineno->get());
    VESK_TRY(line);
    return SourcePosition{std::move(*filename), *line};
}

Result<std::string> path_text(PyObject* filename) {
    PyRef holder;
    auto bytes = filename_bytes(filename, holder);
    VESK_TRY(bytes);
    auto cwd = working_directory();
    VESK_TRY(cwd);
    const std::string_view path = relative_to(*bytes, *cwd).value_or(*bytes);
    return holder ? lossy_utf8(path) : std::string(path);
}

Result<std::string> filename_with_lineno_impl(PyObject* frame) {
    auto position = source_position(frame);
    VESK_TRY(position);
    auto text = path_text(position->filename.get());
    VESK_TRY(text);
    *text += ':';
    *text += std::to_string(position->line);
    return std::move(*text);
}

}  // namespace

Result<ThreadInfo> current_thread() noexcept {
    try {
        return current_thread_impl();
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

Result<int32_t> line_number_from(PyObject* f_lineno) noexcept {
    const long line = PyLong_AsLong(f_lineno);
    if (line == -1 && PyErr_Occurred() != nullptr) {
        return PyError::fetch();
    }
    if (line < INT32_MIN || line > INT32_MAX) {
        return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<int32_t>(line);
}

Result<std::optional<CallSite>> user_code_call_site(std::span<const CallFrame> call_frames,
                                                    const FrameId* current) noexcept {
    if (current == nullptr || call_frames.empty()) {
        return std::nullopt;
    }
    // At a call the last open call is the caller; at a return the last entry is the returning frame
    // itself and its caller sits right below it. Nothing older is ever looked at.
    const CallFrame* caller = &call_frames.back();
    if (caller->id == *current) {
        if (call_frames.size() < 2) {
            return std::nullopt;
        }
        caller = &call_frames[call_frames.size() - 2];
        if (caller->id == *current) {
            return std::nullopt;
        }
    }
    PyObject* frame = caller->frame.get();
    if (!Py_IS_TYPE(frame, &PyFrame_Type)) {
        return conversion_error(frame, "PyFrame");
    }
    if (const int line = kept_line(caller->lines, frame); line >= 0) {
        return CallSite{caller->id, line};
    }
    if (const int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame)); line >= 0) {
        return CallSite{caller->id, line};
    }
    auto lineno = get_attr(frame, interned().f_lineno);  // None: refused below as it should be
    VESK_TRY(lineno);
    auto line = line_number_from(lineno->get());
    VESK_TRY(line);
    return CallSite{caller->id, *line};
}

Result<uint64_t> working_directory_generation() noexcept {
    if (const WorkingDirectory& cache = working_directory_cache; cache.watched && !cache.stale) {
        return cache.generation;  // every recorded event asks: answered without a look at the directory
    }
    try {
        VESK_TRY(working_directory());
        return working_directory_cache.generation;
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

Result<std::string> relative_path(PyObject* filename) noexcept {
    try {
        return path_text(filename);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    } catch (const std::length_error&) {
        return out_of_memory();
    }
}

Result<std::string> filename_with_lineno(PyObject* frame) noexcept {
    try {
        return filename_with_lineno_impl(frame);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    } catch (const std::length_error&) {
        return out_of_memory();
    }
}

Status watch_working_directory() noexcept {
    if (working_directory_cache.watched) {
        return {};
    }
    if (PySys_AddAuditHook(mark_working_directory_stale, nullptr) < 0) {
        return PyError::fetch();
    }
    working_directory_cache.watched = true;
    return {};
}

}  // namespace vesk::utils
