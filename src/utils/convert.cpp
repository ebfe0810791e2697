#include "utils/convert.hpp"

namespace vesk::utils {

Result<std::string_view> string_view_of(PyObject* value) noexcept {
    if (!PyUnicode_Check(value)) {
        return conversion_error(value, "PyString");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return PyError::fetch();
    }
    return std::string_view(utf8, static_cast<size_t>(size));
}

Result<std::string> string_of(PyObject* value) noexcept {
    auto view = string_view_of(value);
    VESK_TRY(view);
    return std::string(*view);
}

Result<std::vector<std::string>> string_list_of(PyObject* value) noexcept {
    if (PyUnicode_Check(value)) {
        return PyError::type_error("Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(value)) {
        return conversion_error(value, "Sequence");
    }
    std::vector<std::string> strings;
    Py_ssize_t length = PySequence_Size(value);
    if (length < 0) {
        PyErr_Clear();  // The length only sizes the vector in advance; iteration decides.
    } else {
        strings.reserve(static_cast<size_t>(length));
    }
    auto iterator = checked(PyObject_GetIter(value));
    VESK_TRY(iterator);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator->get()))) {
        auto text = string_of(item.get());
        VESK_TRY(text);
        strings.push_back(std::move(*text));
    }
    if (PyErr_Occurred()) {
        return PyError::fetch();
    }
    return strings;
}

Result<uint64_t> u64_of(PyObject* value) noexcept {
    auto index = checked(PyNumber_Index(value));
    VESK_TRY(index);
    unsigned long long converted = PyLong_AsUnsignedLongLong(index->get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return PyError::fetch();
    }
    return static_cast<uint64_t>(converted);
}

namespace {
bool is_numpy_bool(PyObject* value) noexcept {
    std::string_view type_name = Py_TYPE(value)->tp_name;
    return type_name == "numpy.bool_" || type_name == "numpy.bool";
}
}  // namespace

Result<bool> bool_of(PyObject* value) noexcept {
    if (PyBool_Check(value)) {
        return value == Py_True;
    }
    if (is_numpy_bool(value)) {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            return PyError::fetch();
        }
        return truth == 1;
    }
    return conversion_error(value, "PyBool");
}

}  // namespace vesk::utils
