#include "utils/modules.hpp"
#include "utils/serialize.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "utils/interned.hpp"
#include "utils/pyref.hpp"

namespace vesk::utils {

namespace {

// A length the result claims only sizes the buffer in advance; a lying __len__ must not make us
// reserve gigabytes before the first item is even seen.
constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{16} << 20;

PyError out_of_memory() noexcept {
    PyErr_NoMemory();
    return PyError::fetch();
}

Result<ByteBuffer> bytes_from_items(PyObject* result) {
    ByteBuffer bytes;
    const Py_ssize_t length = PySequence_Size(result);
    if (length < 0) {
        PyErr_Clear();  // Intended: the length is only a hint, iteration finds the real end.
    } else {
        bytes.reserve(static_cast<size_t>(std::min(length, MAX_RESERVE)));
    }
    auto iterator = checked(PyObject_GetIter(result));
    if (!iterator) {
        return std::move(iterator.error());
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator->get()))) {
        const long value = PyLong_AsLong(item.get());
        if (value == -1 && PyErr_Occurred() != nullptr) {
            return PyError::fetch();
        }
        if (value < 0 || value > 255) {
            return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        bytes.push_back(static_cast<char>(value));
    }
    if (PyErr_Occurred() != nullptr) {
        return PyError::fetch();
    }
    return bytes;
}

}  // namespace

Result<ByteBuffer> bytes_from_sequence(PyObject* result) noexcept {
    try {
        if (PyUnicode_Check(result)) {
            return PyError::type_error("Can't extract `str` to `Vec`");
        }
        if (PyBytes_CheckExact(result)) {
            // The normal case: the host serialiser returns bytes, taken over in one copy.
            ByteBuffer bytes;
            bytes.append(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
            return bytes;
        }
        if (!PySequence_Check(result)) {
            return conversion_error(result, "Sequence");
        }
        return bytes_from_items(result);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    } catch (const std::length_error&) {
        return out_of_memory();
    }
}

Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept {
    // Looked up by name each time so that a replaced sys.modules entry takes effect at the next call.
    PyObject* name = serializer == Serializer::Full ? interned().dump_msgpack
                                                    : interned().dump_msgpack_lightweight_repr;
    auto function = module_attribute(interned().module_vesk_serialize, name);
    if (!function) {
        return std::move(function.error());
    }
    auto result = checked(PyObject_CallOneArg(function->get(), value));
    if (!result) {
        return std::move(result.error());
    }
    auto bytes = bytes_from_sequence(result->get());
    if (bytes && bytes->empty()) {
        // The caller writes these bytes as the value of a key or as a whole record: nothing at all
        // would leave the key without a value and break every later read of the trace document.
        return PyError::make(PyExc_ValueError,
                             serializer == Serializer::Full
                                 ? "vesk.serialize returned no bytes from dump_msgpack; one MessagePack "
                                   "value is needed"
                                 : "vesk.serialize returned no bytes from dump_msgpack_lightweight_repr; "
                                   "one MessagePack value is needed");
    }
    return bytes;
}

}  // namespace vesk::utils
