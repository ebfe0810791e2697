#include "utils/result.hpp"

#include "utils/interned.hpp"

namespace vesk::utils {

PyError PyError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return make(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return PyError(PyRef::steal(value));
}

PyError PyError::make(PyObject* type, std::string_view message) noexcept {
    PyErr_SetObject(
        type, PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))).get());
    // If building the message failed, the pending error is that failure; report it instead.
    return fetch();
}

void PyError::restore() && noexcept {
    PyObject* value = value_.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
}

void PyError::discard_as_unraisable(PyObject* context) && noexcept {
    std::move(*this).restore();
    PyErr_WriteUnraisable(context);
}

namespace {
std::string text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();  // Describing an error must not raise a new one; fall back to a placeholder.
        return "<unprintable>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // As above: a lone surrogate in the message gives the placeholder.
        return "<unprintable>";
    }
    return std::string(utf8, static_cast<size_t>(size));
}
}  // namespace

std::string PyError::describe() const noexcept {
    std::string description = _PyType_Name(Py_TYPE(value_.get()));
    std::string message = text_of(value_.get());
    if (!message.empty()) {
        description += ": ";
        description += message;
    }
    return description;
}

PyError internal_error(std::string_view text) noexcept { return PyError::make(interned().internal_error_type, text); }

PyError internal_error(std::string_view text, const PyError& cause) noexcept {
    std::string message(text);
    message += ": ";
    message += cause.describe();
    return PyError::make(interned().internal_error_type, message);
}

std::string type_qualname(PyObject* object) noexcept {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();  // The wording of this fallback is part of the error messages that use it.
        return "<failed to extract type name>";
    }
    return text_of(name.get());
}

PyError conversion_error(PyObject* value, std::string_view target) noexcept {
    std::string message = "'";
    message += type_qualname(value);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return PyError::type_error(message);
}

}  // namespace vesk::utils
