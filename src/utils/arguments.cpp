#include "utils/arguments.hpp"

#include <string>

namespace vesk::utils {

namespace {
std::string called(std::string_view function) { return std::string(function) + "()"; }

Status bind_keyword(std::string_view function, std::span<const char* const> names, PyObject* keyword, PyObject* value,
                    std::span<PyObject*> out) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
            if (out[i] != nullptr) {
                return PyError::type_error("argument for " + called(function) + " given by name ('" + names[i] +
                                           "') and position (" + std::to_string(i + 1) + ")");
            }
            out[i] = value;
            return {};
        }
    }
    PyRef shown = PyRef::steal(PyObject_Repr(keyword));
    const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (text == nullptr) {
        return PyError::fetch();
    }
    return PyError::type_error(called(function) + " got an unexpected keyword argument " + text);
}
}  // namespace

Status parse_arguments(std::string_view function, std::span<const char* const> names, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) noexcept {
    const auto expected = static_cast<Py_ssize_t>(names.size());
    if (nargs > expected) {
        return PyError::type_error(called(function) + " takes " + std::to_string(expected) + " positional argument" +
                                   (expected == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                                   (nargs == 1 ? " was" : " were") + " given");
    }
    for (auto& slot : out) {
        slot = nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[static_cast<size_t>(i)] = args[i];
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        if (auto bound = bind_keyword(function, names, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out); !bound) {
            return bound;
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (out[i] == nullptr) {
            return PyError::type_error(called(function) + " missing required argument '" + names[i] + "' (pos " +
                                       std::to_string(i + 1) + ")");
        }
    }
    return {};
}

}  // namespace vesk::utils
