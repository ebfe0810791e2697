#include "serialize/bridge.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "utils/checks.hpp"
#include "utils/pyref.hpp"

namespace vesk::serialize {

using utils::ByteBuffer;
using utils::checked;
using utils::conversion_error;
using utils::PyError;
using utils::PyRef;
using utils::Result;

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
    VESK_TRY(iterator);
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

namespace {

PyError no_bytes_error(Serializer serializer) noexcept {
    // The caller writes these bytes as the value of a key or as a whole record: nothing at all
    // would leave the key without a value and break every later read of the trace document.
    return PyError::make(PyExc_ValueError, serializer == Serializer::Full
                                               ? "vesk.serialize returned no bytes from dump_msgpack; one MessagePack "
                                                 "value is needed"
                                               : "vesk.serialize returned no bytes from dump_msgpack_lightweight_repr; "
                                                 "one MessagePack value is needed");
}

}  // namespace

std::string_view Serialized::view() const noexcept {
    if (written_ != nullptr) {
        return written_->view();
    }
    if (bytes_) {
        return {PyBytes_AS_STRING(bytes_.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes_.get()))};
    }
    return converted_.view();
}

Result<Serialized> serialized_from(PyRef result, Serializer serializer) noexcept {
    Serialized serialized;
    if (PyBytes_CheckExact(result.get())) {
        serialized.bytes_ = std::move(result);  // the normal case: read in place, copied once into the record
    } else {
        auto converted = bytes_from_sequence(result.get());
        VESK_TRY(converted);
        serialized.converted_ = std::move(*converted);
    }
    if (serialized.view().empty()) {
        return no_bytes_error(serializer);
    }
    return serialized;
}

Serialized written_into(const ByteBuffer& out) noexcept {
    Serialized serialized;
    serialized.written_ = &out;
    return serialized;
}

Result<Serialized> serialize_with(const SerializerHandle& handle, PyObject* value, Serializer serializer,
                                  ByteBuffer& scratch) noexcept {
    if (handle.native != nullptr) {
        const RecordValue one{value, nullptr};
        ByteBuffer* const out = &scratch;
        VESK_TRY(dump_record(*handle.native, {&one, 1}, serializer == Serializer::LightweightRepr, {&out, 1}));
        return written_into(scratch);
    }
    utils::may_run_python();
    auto result = checked(PyObject_CallOneArg(handle.function.get(), value));
    VESK_TRY(result);
    return serialized_from(std::move(*result), serializer);
}

Result<FrameValues> serialize_frame_values(const SerializerHandle& handle, PyObject* arg, const RecordValue& locals,
                                           Serializer serializer, ByteBuffer& arg_scratch,
                                           ByteBuffer& locals_scratch) noexcept {
    const RecordValue values[] = {{arg, nullptr}, locals};
    ByteBuffer* const outs[] = {&arg_scratch, &locals_scratch};
    VESK_TRY(dump_record(*handle.native, values, serializer == Serializer::LightweightRepr, outs));
    return FrameValues{written_into(arg_scratch), written_into(locals_scratch)};
}

Result<ByteBuffer> dump_with(const SerializerHandle& handle, PyObject* value, Serializer serializer) noexcept {
    if (handle.native != nullptr) {
        ByteBuffer bytes;
        const RecordValue one{value, nullptr};
        ByteBuffer* const out = &bytes;
        VESK_TRY(dump_record(*handle.native, {&one, 1}, serializer == Serializer::LightweightRepr, {&out, 1}));
        return bytes;
    }
    utils::may_run_python();
    auto result = checked(PyObject_CallOneArg(handle.function.get(), value));
    VESK_TRY(result);
    auto bytes = bytes_from_sequence(result->get());
    if (bytes && bytes->empty()) {
        return no_bytes_error(serializer);
    }
    return bytes;
}

}  // namespace vesk::serialize
