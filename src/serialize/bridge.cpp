#include "serialize/bridge.hpp"

#include "utils/modules.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "utils/compat.hpp"
#include "utils/interned.hpp"
#include "utils/pyref.hpp"

namespace vesk::serialize {

using utils::ByteBuffer;
using utils::checked;
using utils::conversion_error;
using utils::dict_version;
using utils::import_module;
using utils::interned;
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

PyObject* function_name(Serializer serializer) noexcept {
    return serializer == Serializer::Full ? interned().dump_msgpack : interned().dump_msgpack_lightweight_repr;
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

Result<SerializerHandle> SerializerLookup::function(Serializer serializer) noexcept {
    Found& found = found_[serializer == Serializer::Full ? 0 : 1];
    const std::optional<uint64_t> modules_version = dict_version(PyImport_GetModuleDict());
    if (found.function && modules_version && *modules_version == found.modules_version &&
        dict_version(PyModule_GetDict(found.module.get())) == found.namespace_version) {
        return SerializerHandle{found.function.clone(), found.native};
    }
    auto module = import_module(interned().module_vesk_serialize);
    VESK_TRY(module);
    auto function = checked(PyObject_GetAttr(module->get(), function_name(serializer)));
    VESK_TRY(function);
    NativeSerializer* native = native_serializer_of(function->get(), serializer == Serializer::LightweightRepr);
    // Versions read after the lookup, which may itself have imported and so changed sys.modules.
    found.modules_version = dict_version(PyImport_GetModuleDict()).value_or(0);
    PyObject* namespace_dict = PyModule_Check(module->get()) ? PyModule_GetDict(module->get()) : nullptr;
    found.namespace_version = namespace_dict != nullptr ? dict_version(namespace_dict).value_or(0) : 0;
    // Not a module (a stand-in object in sys.modules) or no versions to check: looked up afresh at
    // every event.
    const bool keep = namespace_dict != nullptr && modules_version;
    found.module = keep ? std::move(*module) : PyRef();
    found.function = keep ? function->clone() : PyRef();
    found.native = keep ? native : nullptr;
    return SerializerHandle{std::move(*function), native};
}

int SerializerLookup::traverse(visitproc visit, void* arg) const noexcept {
    for (const Found& found : found_) {
        Py_VISIT(found.function.get());
        Py_VISIT(found.module.get());
    }
    return 0;
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

Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept {
    // Looked up by name each time so that a replaced sys.modules entry takes effect at the next call.
    auto function = utils::module_attribute(interned().module_vesk_serialize, function_name(serializer));
    VESK_TRY(function);
    const bool light = serializer == Serializer::LightweightRepr;
    if (NativeSerializer* native = native_serializer_of(function->get(), light)) {
        ByteBuffer bytes;
        const RecordValue one{value, nullptr};
        ByteBuffer* const out = &bytes;
        VESK_TRY(dump_record(*native, {&one, 1}, light, {&out, 1}));
        return bytes;
    }
    auto result = checked(PyObject_CallOneArg(function->get(), value));
    VESK_TRY(result);
    auto bytes = bytes_from_sequence(result->get());
    if (bytes && bytes->empty()) {
        return no_bytes_error(serializer);
    }
    return bytes;
}

}  // namespace vesk::serialize
