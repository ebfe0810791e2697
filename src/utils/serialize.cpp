#include "utils/serialize.hpp"
#include "utils/modules.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "utils/compat.hpp"
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

// The native serialiser's table, where `function` is that module's own function for `serializer`.
const NativeSerializerApi* native_table_of(PyObject* function, Serializer serializer) noexcept {
    if (!PyCFunction_Check(function) || PyCFunction_GET_SELF(function) == nullptr ||
        !PyModule_Check(PyCFunction_GET_SELF(function))) {
        return nullptr;
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(PyCFunction_GET_SELF(function), "_native_api"));
    const auto* table = capsule ? static_cast<const NativeSerializerApi*>(
                                      PyCapsule_GetPointer(capsule.get(), NATIVE_SERIALIZER_CAPSULE))
                                : nullptr;
    if (table == nullptr) {
        PyErr_Clear();  // Intended: a module without the table is called through Python.
        return nullptr;
    }
    const PyCFunction own = serializer == Serializer::Full ? table->full : table->light;
    return PyCFunction_GET_FUNCTION(function) == own ? table : nullptr;
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

Result<SerializerFunction> SerializerLookup::function(Serializer serializer) noexcept {
    Found& found = found_[serializer == Serializer::Full ? 0 : 1];
    const std::optional<uint64_t> modules_version = dict_version(PyImport_GetModuleDict());
    if (found.function && modules_version && *modules_version == found.modules_version &&
        dict_version(PyModule_GetDict(found.module.get())) == found.namespace_version) {
        return SerializerFunction{found.function.clone(), found.native};
    }
    auto module = import_module(interned().module_vesk_serialize);
    VESK_TRY(module);
    auto function = checked(PyObject_GetAttr(module->get(), function_name(serializer)));
    VESK_TRY(function);
    const NativeSerializerApi* native = native_table_of(function->get(), serializer);
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
    return SerializerFunction{std::move(*function), native};
}

int SerializerLookup::traverse(visitproc visit, void* arg) const noexcept {
    for (const Found& found : found_) {
        Py_VISIT(found.function.get());
        Py_VISIT(found.module.get());
    }
    return 0;
}

Result<Serialized> written_natively(int done, PyObject* result, const ByteBuffer& out, Serializer serializer) noexcept {
    if (done < 0) {
        return PyError::fetch();
    }
    if (done == 0) {
        return serialized_from(PyRef::steal(result), serializer);
    }
    Serialized serialized;
    serialized.written_ = &out;
    return serialized;
}

Result<Serialized> serialize_with(const SerializerFunction& function, PyObject* value, Serializer serializer,
                                  ByteBuffer& scratch) noexcept {
    if (function.native != nullptr) {
        scratch.clear();
        PyObject* result = nullptr;
        const int done = function.native->dump(PyCFunction_GET_SELF(function.function.get()), value,
                                               serializer == Serializer::LightweightRepr, scratch, &result);
        return written_natively(done, result, scratch, serializer);
    }
    auto result = checked(PyObject_CallOneArg(function.function.get(), value));
    VESK_TRY(result);
    return serialized_from(std::move(*result), serializer);
}

Result<Serialized> serialize_locals_with(const SerializerFunction& function, const LocalsView& locals,
                                         Serializer serializer, ByteBuffer& scratch) noexcept {
    scratch.clear();
    PyObject* result = nullptr;
    const int done = function.native->dump_named_values(PyCFunction_GET_SELF(function.function.get()), locals.names,
                                                        locals.values, locals.count,
                                                        serializer == Serializer::LightweightRepr, scratch, &result);
    return written_natively(done, result, scratch, serializer);
}

Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept {
    // Looked up by name each time so that a replaced sys.modules entry takes effect at the next call.
    auto function = module_attribute(interned().module_vesk_serialize, function_name(serializer));
    VESK_TRY(function);
    auto result = checked(PyObject_CallOneArg(function->get(), value));
    VESK_TRY(result);
    auto bytes = bytes_from_sequence(result->get());
    if (bytes && bytes->empty()) {
        return no_bytes_error(serializer);
    }
    return bytes;
}

}  // namespace vesk::utils
