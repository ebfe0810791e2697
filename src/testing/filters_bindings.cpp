// Test-only access to the substring finders and the record decision.
#include <array>
#include <string>
#include <string_view>

#include "filters/decision.hpp"
#include "testing/bindings.hpp"
#include "utils/arguments.hpp"
#include "utils/convert.hpp"
#include "utils/entry.hpp"

namespace vesk::testing {

namespace {

using utils::PyRef;
using utils::Result;

// Needles and filenames as raw bytes: a str stands for its UTF-8 bytes, bytes for themselves.
Result<std::string_view> bytes_of(PyObject* value) {
    if (PyBytes_Check(value)) {
        return std::string_view(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
    }
    return utils::string_view_of(value);
}

Result<PyRef> bool_object(bool value) { return PyRef::steal(PyBool_FromLong(value)); }

Result<std::vector<filters::Finder>> finders_from(PyObject* texts) {
    auto needles = utils::string_list_of(texts);
    VESK_TRY(needles);
    return filters::build_finders(std::move(*needles));
}

PyObject* finder_found(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<2>("finder_found", {"needle", "haystack"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto needle = bytes_of((*in)[0]);
        VESK_TRY(needle);
        auto haystack = bytes_of((*in)[1]);
        VESK_TRY(haystack);
        const filters::Finder finder{std::string(*needle)};
        return bool_object(finder.found_in(*haystack));
    });
}

// The finders' own needles, in finder order: what build_finders kept of the texts.
PyObject* build_finders(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<1>("build_finders", {"texts"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto finders = finders_from((*in)[0]);
        VESK_TRY(finders);
        auto list = utils::checked(PyList_New(0));
        if (!list) {
            return list;
        }
        for (const auto& finder : *finders) {
            auto needle = utils::checked(
                PyBytes_FromStringAndSize(finder.needle().data(), static_cast<Py_ssize_t>(finder.needle().size())));
            if (!needle) {
                return needle;
            }
            if (PyList_Append(list->get(), needle->get()) < 0) {
                return utils::PyError::fetch();
            }
        }
        return list;
    });
}

template <bool (*Filter)(std::string_view) noexcept>
PyObject* filter_binding(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<1>("filter", {"filename"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto filename = bytes_of((*in)[0]);
        VESK_TRY(filename);
        return bool_object(Filter(*filename));
    });
}

PyObject* attrs_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<2>("attrs_filter", {"frame", "filename"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto filename = bytes_of((*in)[1]);
        VESK_TRY(filename);
        auto attrs = filters::attrs_filter((*in)[0], *filename);
        VESK_TRY(attrs);
        return bool_object(*attrs);
    });
}

PyObject* should_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<4>("should_record", {"include", "ignore", "frame", "filename"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto include = finders_from((*in)[0]);
        VESK_TRY(include);
        auto ignore = finders_from((*in)[1]);
        VESK_TRY(ignore);
        auto filename = bytes_of((*in)[3]);
        VESK_TRY(filename);
        const filters::FrameFilters frame_filters{std::move(*include), std::move(*ignore)};
        auto record = filters::should_record(frame_filters, (*in)[2], *filename);
        VESK_TRY(record);
        return bool_object(*record);
    });
}

#define VESK_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef methods[] = {
    {"finder_found", VESK_FASTCALL(finder_found), METH_FASTCALL | METH_KEYWORDS,
     "finder_found(needle, haystack): whether a finder for `needle` finds it in `haystack`."},
    {"build_finders", VESK_FASTCALL(build_finders), METH_FASTCALL | METH_KEYWORDS,
     "build_finders(texts): the needles (bytes) of the finders built from `texts`, in order."},
    {"library_filter", VESK_FASTCALL(filter_binding<filters::library_filter>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"frozen_filter", VESK_FASTCALL(filter_binding<filters::frozen_filter>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"vesk_filter", VESK_FASTCALL(filter_binding<filters::vesk_filter>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"exec_filter", VESK_FASTCALL(filter_binding<filters::exec_filter>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"pytest_filter", VESK_FASTCALL(filter_binding<filters::pytest_filter>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"attrs_filter", VESK_FASTCALL(attrs_filter), METH_FASTCALL | METH_KEYWORDS,
     "attrs_filter(frame, filename): whether the frame is attrs-generated code."},
    {"should_record", VESK_FASTCALL(should_record), METH_FASTCALL | METH_KEYWORDS,
     "should_record(include, ignore, frame, filename): the record decision for one event."},
    {nullptr, nullptr, 0, nullptr},
};

#undef VESK_FASTCALL

}  // namespace

int add_filters_bindings(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vesk::testing
