#include "serialize/serializer.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "serialize/caches.hpp"
#include "serialize/outline.hpp"
#include "serialize/output.hpp"
#include "serialize/record_texts.hpp"
#include "serialize/secrets.hpp"
#include "serialize/settings.hpp"
#include "serialize/walk.hpp"
#include "utils/entry.hpp"
#include "utils/interned.hpp"

namespace vesk::serialize {

using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

// Everything the serialiser holds; `settings.hooks` borrows from the references.
class NativeSerializer {
public:
    Settings settings;
    Caches caches;
    bool ready = false;  // setup done
    bool native = true;  // the limits are ones the walk takes on; else every record goes to Python
    PyRef dump_values;   // vesk.serialize._dump_values_python, for the records the walk gives up on
    PyRef type_name;
    PyRef plan;
    PyRef object_parts;
    PyRef key_text;
    PyRef dict_name;
    PyRef module_getter;
    PyRef qualname_getter;

    template <class Visit>
    void for_each_reference(Visit&& visit) {
        for (PyRef* ref : {&dump_values, &type_name, &plan, &object_parts, &key_text, &dict_name, &module_getter,
                           &qualname_getter, &settings.environment}) {
            visit(*ref);
        }
    }
};

namespace {

struct SerializerObject {
    PyObject_HEAD
    // Made in `new_serializer_object` and destroyed in dealloc; never null once visible.
    NativeSerializer* state;
};

PyTypeObject* serializer_type = nullptr;

NativeSerializer& state_of(PyObject* self) noexcept { return *reinterpret_cast<SerializerObject*>(self)->state; }

PyError not_set_up() noexcept {
    return PyError::make(PyExc_RuntimeError, "vesk._vesk.serializer.setup() has not been called");
}

// ---- writing a record

// What a native walk of a record came to: written (each output kept), to be handed to the Python
// serialiser, or interrupted by an error that belongs to the program (KeyboardInterrupt, SystemExit
// from a repr).
enum class Walked : uint8_t { written, to_python, interrupted };

// CAUTION: runs Python code (see Walk::value). `keep(i, data, size)` takes value i's finished bytes
// (called again for each value if the record is written a second time) and says whether it could.
template <class Keep>
Walked walk_record(NativeSerializer& state, std::span<const RecordValue> values, bool light, Keep&& keep,
                   std::optional<PyError>& interruption) noexcept {
    try {
        RecordTexts texts;
        const PyRef environment = state.settings.environment.clone();
        const RecordContext record{state.settings, state.caches, texts, environment.get()};
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < values.size(); ++i) {
                const RecordValue& value = values[i];
                if (value.locals == nullptr && value.object == Py_None) {
                    // A call's argument, at every call.
                    if (!keep(i, "\xc0", 1)) {
                        return Walked::to_python;
                    }
                    continue;
                }
                // A lone surrogate in a str makes msgpack's packer refuse the Python walk's result;
                // that walk then runs again with every text escaped. Doing the same keeps the bytes
                // identical.
                bool kept = false;
                for (const bool safe_text : {false, true}) {
                    Output out;
                    Walk walk(record, light, safe_text, out);
                    const Outcome outcome = value.locals != nullptr
                                                ? walk.named_values(value.locals->names, value.locals->values,
                                                                    value.locals->count)
                                                : walk.value(value.object, 0);
                    if (outcome == Outcome::unencodable_text) {
                        continue;
                    }
                    if (outcome == Outcome::interrupted) {
                        interruption = walk.take_error();
                        return Walked::interrupted;
                    }
                    // Given up: the Python serialiser converts the whole record again and meets the
                    // same condition, which its own rules turn into a marker or a result.
                    static_cast<void>(walk.take_error());
                    if (outcome != Outcome::written || out.failed() || !keep(i, out.data(), out.size())) {
                        return Walked::to_python;
                    }
                    kept = true;
                    break;
                }
                if (!kept) {
                    return Walked::to_python;
                }
            }
            if (!texts.shown_before_redacted()) {
                return Walked::written;
            }
            // A text was shown before it was found redacted elsewhere: the record again, knowing it.
            texts.start_again();
        }
        return Walked::written;
    } catch (const std::bad_alloc&) {
        // Out of memory for a snapshot of a very large container: the Python serialiser takes over.
        return Walked::to_python;
    }
}

// The dict the walk stood for, for the Python serialiser.
Result<PyRef> dict_of(const utils::LocalsView& locals) noexcept {
    auto dict = utils::checked(PyDict_New());
    VESK_TRY(dict);
    for (Py_ssize_t i = 0; i < locals.count; ++i) {
        if (locals.values[i] != nullptr && PyDict_SetItem(dict->get(), locals.names[i], locals.values[i]) < 0) {
            return PyError::fetch();
        }
    }
    return dict;
}

// CAUTION: runs Python code. The Python serialiser's bytes for the record: a list of bytes.
Result<PyRef> python_record(NativeSerializer& state, std::span<const RecordValue> values, bool light) noexcept {
    auto objects = utils::checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    VESK_TRY(objects);
    for (size_t i = 0; i < values.size(); ++i) {
        PyRef object;
        if (values[i].locals != nullptr) {
            auto dict = dict_of(*values[i].locals);
            VESK_TRY(dict);
            object = std::move(*dict);
        } else {
            object = PyRef::borrow(values[i].object);
        }
        PyTuple_SET_ITEM(objects->get(), static_cast<Py_ssize_t>(i), object.release());
    }
    auto dumped = utils::checked(
        PyObject_CallFunctionObjArgs(state.dump_values.get(), objects->get(), light ? Py_True : Py_False, nullptr));
    VESK_TRY(dumped);
    if (!PyList_CheckExact(dumped->get()) || PyList_GET_SIZE(dumped->get()) != static_cast<Py_ssize_t>(values.size())) {
        return PyError::type_error("vesk.serialize._dump_values did not return one item per value");
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dumped->get()); ++i) {
        PyObject* item = PyList_GET_ITEM(dumped->get(), i);
        if (!PyBytes_CheckExact(item) || PyBytes_GET_SIZE(item) == 0) {
            return PyError::type_error("vesk.serialize._dump_values returned something other than bytes");
        }
    }
    return dumped;
}

// CAUTION: runs Python code. `keep(i, data, size)` takes value i's bytes.
template <class Keep>
Status write_record(NativeSerializer& state, std::span<const RecordValue> values, bool light, Keep&& keep) noexcept {
    if (!state.ready) {
        return not_set_up();
    }
    if (state.native) {
        std::optional<PyError> interruption;
        const Walked walked = walk_record(state, values, light, keep, interruption);
        if (walked == Walked::written) {
            return {};
        }
        if (walked == Walked::interrupted) {
            return std::move(*interruption);
        }
    }
    auto dumped = python_record(state, values, light);
    VESK_TRY(dumped);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dumped->get()); ++i) {
        PyObject* item = PyList_GET_ITEM(dumped->get(), i);
        if (!keep(static_cast<size_t>(i), PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)))) {
            PyErr_NoMemory();
            return PyError::fetch();
        }
    }
    return {};
}

// ---- the methods

PyObject* dump(PyObject* self, PyObject* value, bool light) noexcept {
    // A call's argument, at every call.
    static PyObject* const nil = PyBytes_FromStringAndSize("\xc0", 1);
    if (value == Py_None && nil != nullptr && state_of(self).ready) {
        return Py_NewRef(nil);
    }
    return utils::object_entry([&]() -> Result<PyRef> {
        PyRef bytes;
        const RecordValue one{value, nullptr};
        VESK_TRY(write_record(state_of(self), {&one, 1}, light, [&](size_t, const char* data, size_t size) {
            bytes = PyRef::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
            if (!bytes) {
                PyErr_Clear();  // Dropped: out of memory; the Python serialiser decides what the value becomes.
            }
            return static_cast<bool>(bytes);
        }));
        return bytes;
    });
}

PyObject* dump_msgpack(PyObject* self, PyObject* value) noexcept { return dump(self, value, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject* self, PyObject* value) noexcept { return dump(self, value, true); }

PyObject* dump_values(PyObject* self, PyObject* args) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        PyObject* objects = nullptr;
        int light = 0;
        if (!PyArg_ParseTuple(args, "O!p:dump_values", &PyTuple_Type, &objects, &light)) {
            return PyError::fetch();
        }
        const auto count = static_cast<size_t>(PyTuple_GET_SIZE(objects));
        std::vector<RecordValue> values(count);
        for (size_t i = 0; i < count; ++i) {
            values[i].object = PyTuple_GET_ITEM(objects, static_cast<Py_ssize_t>(i));
        }
        auto dumped = utils::checked(PyList_New(static_cast<Py_ssize_t>(count)));
        VESK_TRY(dumped);
        VESK_TRY(write_record(state_of(self), values, light != 0, [&](size_t i, const char* data, size_t size) {
            PyObject* bytes = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
            if (bytes == nullptr) {
                PyErr_Clear();  // Dropped: out of memory, as above.
                return false;
            }
            PyObject* previous = PyList_GET_ITEM(dumped->get(), static_cast<Py_ssize_t>(i));
            PyList_SET_ITEM(dumped->get(), static_cast<Py_ssize_t>(i), bytes);
            Py_XDECREF(previous);  // the first writing's, when the record is written again
            return true;
        }));
        return dumped;
    });
}

Result<PyRef> type_descriptor(PyObject* name) noexcept {
    auto attributes = utils::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    VESK_TRY(attributes);
    return utils::checked(PyObject_GetItem(attributes->get(), name));
}

PyObject* setup(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        static const char* keywords[] = {"dump_values", "type_name", "plan", "object_parts", "key_text", nullptr};
        std::array<PyObject*, 5> hooks{};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$OOOOO:setup", const_cast<char**>(keywords), &hooks[0],
                                         &hooks[1], &hooks[2], &hooks[3], &hooks[4])) {
            return PyError::fetch();
        }
        NativeSerializer& state = state_of(self);
        if (state.ready) {
            // Walks in progress borrow the hooks: they are set once.
            return PyError::make(PyExc_RuntimeError, "vesk._vesk.serializer.setup() may be called only once");
        }
        auto dict_name = utils::checked(PyUnicode_InternFromString("__dict__"));
        VESK_TRY(dict_name);
        auto module_getter = type_descriptor(utils::interned().dunder_module);
        VESK_TRY(module_getter);
        auto qualname_getter = type_descriptor(utils::interned().dunder_qualname);
        VESK_TRY(qualname_getter);
        state.dump_values = PyRef::borrow(hooks[0]);
        state.type_name = PyRef::borrow(hooks[1]);
        state.plan = PyRef::borrow(hooks[2]);
        state.object_parts = PyRef::borrow(hooks[3]);
        state.key_text = PyRef::borrow(hooks[4]);
        state.dict_name = std::move(*dict_name);
        state.module_getter = std::move(*module_getter);
        state.qualname_getter = std::move(*qualname_getter);
        state.settings.hooks = Hooks{
            .type_name = state.type_name.get(),
            .plan = state.plan.get(),
            .object_parts = state.object_parts.get(),
            .key_text = state.key_text.get(),
            .dict_name = state.dict_name.get(),
            .module_getter = state.module_getter.get(),
            .qualname_getter = state.qualname_getter.get(),
        };
        state.ready = true;
        return utils::none();
    });
}

// A limit as the walk holds it, or nothing when the walk does not take it on (negative, or too
// large for a machine integer): those limits leave every record to the Python serialiser.
Result<std::optional<Py_ssize_t>> limit(PyObject* value, Py_ssize_t most) noexcept {
    if (!PyLong_CheckExact(value)) {
        return utils::conversion_error(value, "int");
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || number < 0 || number > most) {
        return std::optional<Py_ssize_t>();
    }
    return std::optional<Py_ssize_t>(static_cast<Py_ssize_t>(number));
}

PyObject* configure(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        static const char* keywords[] = {
            "max_string_length", "max_items",    "max_depth",    "max_total_items",     "max_object_depth",
            "max_nested_fields", "secret_names", "secret_rules", "process_environment", nullptr};
        std::array<PyObject*, 6> values{};
        PyObject* secret_names = nullptr;
        PyObject* secret_rules = nullptr;
        PyObject* environment = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$OOOOOOO!O!O!:configure", const_cast<char**>(keywords),
                                         &values[0], &values[1], &values[2], &values[3], &values[4], &values[5],
                                         &PyList_Type, &secret_names, &PyDict_Type, &secret_rules, &PyDict_Type,
                                         &environment)) {
            return PyError::fetch();
        }
        std::array<std::optional<Py_ssize_t>, 6> limits;
        for (size_t i = 0; i < values.size(); ++i) {
            auto read = limit(values[i], i == 2 ? MAX_NATIVE_DEPTH : PY_SSIZE_T_MAX);
            VESK_TRY(read);
            limits[i] = *read;
        }
        auto names = SecretRules::make(secret_names, secret_rules);
        VESK_TRY(names);
        // Everything read before anything is set: a bad value leaves the previous settings whole.
        NativeSerializer& state = state_of(self);
        state.caches.clear();
        state.settings.names = std::move(*names);
        state.settings.environment = PyRef::borrow(environment);
        state.native = std::all_of(limits.begin(), limits.end(), [](const auto& limit) { return limit.has_value(); });
        if (state.native) {
            state.settings.limits = Limits{*limits[0], *limits[1], *limits[2], *limits[3], *limits[4], *limits[5]};
        }
        return PyRef::borrow(state.native ? Py_True : Py_False);
    });
}

PyObject* name_kind(PyObject* self, PyObject* name) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        if (!PyUnicode_Check(name)) {
            return utils::conversion_error(name, "str");
        }
        auto kind = state_of(self).settings.names.kind_of(name);
        VESK_TRY(kind);
        return utils::checked(PyLong_FromLong(static_cast<long>(*kind)));
    });
}

// The caches hold the types they answered for: a program's class (and, through its methods, its
// module's globals) would otherwise outlive the program's own end, and its instances' __del__ would
// never run (or run after the output streams are gone).
PyObject* forget(PyObject* self, PyObject*) noexcept {
    state_of(self).caches.clear();
    Py_RETURN_NONE;
}

// `text` (str) or `data` (bytes) with the secrets found by their shape replaced; the very object when
// it holds none.
PyObject* redact(PyObject* self, PyObject* text, bool bytes) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        if (bytes ? !PyBytes_CheckExact(text) : !PyUnicode_CheckExact(text)) {
            return utils::conversion_error(text, bytes ? "bytes" : "str");
        }
        auto points = bytes ? Result<CodePoints>(bytes_points(text)) : code_points(text);
        VESK_TRY(points);
        auto spans = secret_spans(*points, points->length, state_of(self).settings.names);
        VESK_TRY(spans);
        return spans->empty() ? PyRef::borrow(text) : replaced(text, points->length, *spans);
    });
}

PyObject* redact_text(PyObject* self, PyObject* text) noexcept { return redact(self, text, false); }

PyObject* redact_bytes(PyObject* self, PyObject* data) noexcept { return redact(self, data, true); }

PyObject* redact_authority(PyObject*, PyObject* text) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        if (!PyUnicode_CheckExact(text)) {
            return utils::conversion_error(text, "str");
        }
        auto points = code_points(text);
        VESK_TRY(points);
        const Spans spans = authority_span(*points);
        return spans.empty() ? PyRef::borrow(text) : replaced(text, points->length, spans);
    });
}

// A buffer held for as long as the call reads it.
struct HeldBuffer {
    Py_buffer view{};
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (view.obj != nullptr) {
            PyBuffer_Release(&view);
        }
    }
    [[nodiscard]] std::span<const uint8_t> bytes() const noexcept {
        return {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
    }
};

PyError damaged(size_t at) {
    return PyError::make(PyExc_ValueError, "damaged MessagePack: the value at byte " + std::to_string(at) +
                                               " is cut short or holds an unused byte");
}

bool starts_with(std::span<const uint8_t> data, size_t at, std::span<const uint8_t> prefix) noexcept {
    return data.size() - at >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
}

// (skipped, spans, end) for the container, as vesk.serialize.outline describes them.
Result<PyRef> outline_of(std::span<const uint8_t> data, Container container, std::span<const uint8_t> prefix) {
    auto spans = utils::checked(PyList_New(0));
    VESK_TRY(spans);
    uint64_t skipped = 0;
    size_t at = container.first;
    for (uint64_t i = 0; i < container.items; ++i) {
        const auto end = value_end(data, at);
        if (!end) {
            return damaged(at);
        }
        if (!prefix.empty() && starts_with(data, at, prefix)) {
            ++skipped;
        } else {
            PyRef span =
                PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(*end)));
            if (!span || PyList_Append(spans->get(), span.get()) < 0) {
                return PyError::fetch();
            }
        }
        at = *end;
    }
    return utils::checked(
        Py_BuildValue("(KOn)", static_cast<unsigned long long>(skipped), spans->get(), static_cast<Py_ssize_t>(at)));
}

PyObject* outline(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        static const char* keywords[] = {"document", "offset", "skip_prefix", nullptr};
        HeldBuffer document;
        HeldBuffer prefix;
        Py_ssize_t offset = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*n|y*:outline", const_cast<char**>(keywords), &document.view,
                                         &offset, &prefix.view)) {
            return PyError::fetch();
        }
        const auto container = offset < 0 ? std::nullopt : container_at(document.bytes(), static_cast<size_t>(offset));
        if (!container) {
            return PyError::make(PyExc_ValueError, "no MessagePack array or map at byte " + std::to_string(offset));
        }
        return outline_of(document.bytes(), *container, prefix.bytes());
    });
}

PyMethodDef methods[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     PyDoc_STR("dump_msgpack($self, value, /)\n--\n\nOne MessagePack value for `value`, as vesk.serialize writes it.")},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     PyDoc_STR("dump_msgpack_lightweight_repr($self, value, /)\n--\n\nLike `dump_msgpack`, but objects are shown "
               "by type and identity.")},
    {"dump_values", dump_values, METH_VARARGS,
     PyDoc_STR("dump_values($self, values, light, /)\n--\n\nThe values of one record (a tuple), as a list of "
               "bytes: a text redacted by name in one is redacted in all.")},
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setup)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("Hands over the Python serialiser's functions; called once by vesk.serialize.")},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("Sets the limits, the secret names and the process environment; returns whether values are "
               "converted here (else by the Python serialiser).")},
    {"forget", forget, METH_NOARGS,
     PyDoc_STR("forget($self, /)\n--\n\nForgets the answers remembered for objects; called when a recording stops.")},
    {"name_kind", name_kind, METH_O,
     PyDoc_STR("name_kind($self, name, /)\n--\n\nWhat a name says about its value, as vesk.redaction numbers it.")},
    {"redact_text", redact_text, METH_O,
     PyDoc_STR("redact_text($self, text, /)\n--\n\nThe text with the secrets found by their shape replaced.")},
    {"redact_bytes", redact_bytes, METH_O,
     PyDoc_STR("redact_bytes($self, data, /)\n--\n\nThe same for bytes, each byte read as one character.")},
    {"redact_authority", redact_authority, METH_O,
     PyDoc_STR("redact_authority($self, text, /)\n--\n\nAn authority (user:password@host) without its password.")},
    {"outline", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(outline)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("outline($self, document, offset, skip_prefix=b'')\n--\n\nvesk.serialize.outline, natively.")},
    {nullptr, nullptr, 0, nullptr},
};

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    NativeSerializer& state = state_of(self);
    int result = 0;
    state.for_each_reference([&](PyRef& ref) {
        if (result == 0 && ref) {
            result = visit(ref.get(), arg);
        }
    });
    return result != 0 ? result : state.caches.traverse(visit, arg);
}

int clear(PyObject* self) noexcept {
    NativeSerializer& state = state_of(self);
    state.ready = false;
    state.for_each_reference([](PyRef& ref) { ref.reset(); });
    state.caches.clear();
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<SerializerObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesk._vesk.Serializer", sizeof(SerializerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots,
};

}  // namespace

Result<PyRef> new_serializer_object() noexcept {
    if (serializer_type == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) {
            return PyError::fetch();
        }
        serializer_type = reinterpret_cast<PyTypeObject*>(type);
    }
    auto* object = PyObject_GC_New(SerializerObject, serializer_type);
    if (object == nullptr) {
        return PyError::fetch();
    }
    object->state = new (std::nothrow) NativeSerializer();
    PyRef made = PyRef::steal(reinterpret_cast<PyObject*>(object));
    if (object->state == nullptr) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
    PyObject_GC_Track(made.get());
    return made;
}

NativeSerializer* native_serializer_of(PyObject* function, bool light) noexcept {
    if (serializer_type == nullptr || !PyCFunction_Check(function)) {
        return nullptr;
    }
    PyObject* self = PyCFunction_GET_SELF(function);
    if (self == nullptr || !Py_IS_TYPE(self, serializer_type)) {
        return nullptr;
    }
    const PyCFunction own = light ? dump_msgpack_lightweight_repr : dump_msgpack;
    return PyCFunction_GET_FUNCTION(function) == own ? &state_of(self) : nullptr;
}

Status dump_record(NativeSerializer& serializer, std::span<const RecordValue> values, bool light,
                   std::span<utils::ByteBuffer* const> outs) noexcept {
    for (utils::ByteBuffer* out : outs) {
        out->clear();
    }
    return write_record(serializer, values, light, [&](size_t i, const char* data, size_t size) {
        try {
            outs[i]->clear();
            outs[i]->append(data, size);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    });
}

}  // namespace vesk::serialize
