// vesk._serialize: the native fast path of vesk.serialize. It writes the same bytes as the Python
// serialiser for every value and hands a value back to it whenever it cannot go on (see walk.hpp).
// vesk.serialize is the only public surface: it calls `setup` once and `configure` with every new
// set of limits, and then exposes this module's two dump functions as its own.
#include <Python.h>

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "serialize/outline.hpp"
#include "serialize/output.hpp"
#include "serialize/settings.hpp"
#include "serialize/verdicts.hpp"
#include "serialize/walk.hpp"
#include "utils/entry.hpp"
#include "utils/interned.hpp"
#include "utils/native_serializer.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

namespace {

using utils::PyError;
using utils::PyRef;
using utils::Result;

// Everything the module holds, in its module state; `settings.hooks` borrows from the references.
struct State {
    Settings settings;
    NameVerdicts verdicts;
    TypeKinds kinds;
    bool ready = false;  // setup done
    bool native = true;  // the limits are ones the walk takes on; else every value goes to Python
    PyRef nil;           // b"\xc0", the bytes for None (a call's argument)
    PyRef python_dump;
    PyRef python_dump_lightweight;
    PyRef is_secret;
    PyRef secret_cache;
    PyRef type_name;
    PyRef native_kind;
    PyRef object_parts;
    PyRef key_text;
    PyRef redact_text;
    PyRef dict_name;
    PyRef module_getter;
    PyRef qualname_getter;

    template <class Visit>
    void for_each_reference(Visit&& visit) {
        for (PyRef* ref :
             {&nil, &python_dump, &python_dump_lightweight, &is_secret, &secret_cache, &type_name, &native_kind,
              &object_parts, &key_text, &redact_text, &dict_name, &module_getter, &qualname_getter}) {
            visit(*ref);
        }
    }
};

State& state_of(PyObject* module) noexcept { return *static_cast<State*>(PyModule_GetState(module)); }

// What a native walk came to: the value written (the output kept), or the Python serialiser is to
// take the value over (neither set), or an error that belongs to the program (KeyboardInterrupt,
// SystemExit from a repr).
struct Walked {
    bool written = false;
    std::optional<PyError> interrupted;
};

// CAUTION: runs Python code (see Walk::value). No exception is pending afterwards. `write` has the
// walk write the value; `keep` takes the finished output and says whether it could.
template <class Write, class Keep>
Walked walk_natively(const State& state, bool light, Write&& write, Keep&& keep) noexcept {
    try {
        // A lone surrogate in a str makes msgpack's packer refuse the Python walk's result; that walk
        // then runs again with every text escaped. Doing the same keeps the bytes identical.
        for (const bool safe_text : {false, true}) {
            Output out;
            Walk walk(state.settings, light, safe_text, out);
            const Outcome outcome = write(walk);
            if (outcome == Outcome::unencodable_text) {
                continue;
            }
            if (outcome == Outcome::written && !out.failed()) {
                return {keep(out), std::nullopt};
            }
            if (outcome == Outcome::interrupted) {
                return {false, walk.take_error()};
            }
            // Dropped: the Python serialiser converts the whole value again and meets the same
            // condition, which its own rules turn into a marker or a result.
            static_cast<void>(walk.take_error());
            return {};
        }
    } catch (const std::bad_alloc&) {
        // Out of memory for a snapshot of a very large container: the Python serialiser takes over.
    }
    return {};
}

PyObject* python_dump(const State& state, PyObject* value, bool light) noexcept {
    return PyObject_CallOneArg(light ? state.python_dump_lightweight.get() : state.python_dump.get(), value);
}

PyObject* not_set_up() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "vesk._serialize.setup() has not been called");
    return nullptr;
}

PyObject* dump(PyObject* module, PyObject* value, bool light) noexcept {
    State& state = state_of(module);
    if (!state.ready) {
        return not_set_up();
    }
    if (value == Py_None) {
        return Py_NewRef(state.nil.get());
    }
    if (state.native) {
        PyRef bytes;
        Walked walked = walk_natively(
            state, light, [&](Walk& walk) { return walk.value(value, 0); },
            [&](const Output& out) {
                bytes = PyRef::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
                if (!bytes) {
                    // Dropped: out of memory; the Python serialiser decides
                    // what the value becomes.
                    static_cast<void>(PyError::fetch());
                }
                return static_cast<bool>(bytes);
            });
        if (walked.written) {
            return bytes.release();
        }
        if (walked.interrupted) {
            std::move(*walked.interrupted).restore();
            return nullptr;
        }
    }
    return python_dump(state, value, light);
}

// ---- the table the engine calls through (see utils/native_serializer.hpp)

bool append_output(utils::ByteBuffer& target, const Output& out) noexcept {
    try {
        target.append(out.data(), out.size());
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // the Python serialiser decides what the value becomes, as above
    }
}

// The table's functions: 1 with the bytes `write` has the walk write appended to `out`; 0 with the
// Python serialiser's result for the value `make_value` makes, where the walk did not write it; -1
// with an exception set.
template <class Write, class MakeValue>
int dump_into(PyObject* module, bool light, Write&& write, MakeValue&& make_value, utils::ByteBuffer& out,
              PyObject** result) noexcept {
    State& state = state_of(module);
    if (!state.ready) {
        return not_set_up(), -1;
    }
    Walked walked;
    if (state.native) {
        walked = walk_natively(state, light, write, [&](const Output& written) { return append_output(out, written); });
        if (walked.written) {
            return 1;
        }
        if (walked.interrupted) {
            std::move(*walked.interrupted).restore();
            return -1;
        }
    }
    PyRef value = make_value();
    *result = value ? python_dump(state, value.get(), light) : nullptr;
    return *result != nullptr ? 0 : -1;
}

int native_dump(PyObject* module, PyObject* value, bool light, utils::ByteBuffer& out, PyObject** result) noexcept {
    if (value == Py_None && state_of(module).ready) {
        try {
            out.push_back('\xc0');
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return 1;
    }
    return dump_into(
        module, light, [&](Walk& walk) { return walk.value(value, 0); }, [&] { return PyRef::borrow(value); }, out,
        result);
}

// The dict the walk stood for, for the Python serialiser.
PyRef dict_of(PyObject* const* names, PyObject* const* values, Py_ssize_t count) noexcept {
    PyRef dict = PyRef::steal(PyDict_New());
    for (Py_ssize_t i = 0; dict && i < count; ++i) {
        if (values[i] != nullptr && PyDict_SetItem(dict.get(), names[i], values[i]) < 0) {
            dict.reset();
        }
    }
    return dict;
}

int native_dump_named_values(PyObject* module, PyObject* const* names, PyObject* const* values, Py_ssize_t count,
                             bool light, utils::ByteBuffer& out, PyObject** result) noexcept {
    return dump_into(
        module, light, [&](Walk& walk) { return walk.named_values(names, values, count); },
        [&] { return dict_of(names, values, count); }, out, result);
}

PyObject* dump_msgpack(PyObject* module, PyObject* value) noexcept { return dump(module, value, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject* module, PyObject* value) noexcept {
    return dump(module, value, true);
}

const utils::NativeSerializerApi native_api = {dump_msgpack, dump_msgpack_lightweight_repr, native_dump,
                                               native_dump_named_values};

Result<PyRef> type_descriptor(PyObject* name) noexcept {
    auto attributes = utils::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    VESK_TRY(attributes);
    return utils::checked(PyObject_GetItem(attributes->get(), name));
}

PyObject* setup(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        static const char* keywords[] = {
            "dump",        "dump_lightweight_repr", "is_secret", "secret_cache", "type_name",
            "native_kind", "object_parts",          "key_text",  "redact_text",  nullptr};
        PyObject* dump = nullptr;
        PyObject* dump_light = nullptr;
        PyObject* is_secret = nullptr;
        PyObject* cache = nullptr;
        PyObject* type_name = nullptr;
        PyObject* native_kind = nullptr;
        PyObject* object_parts = nullptr;
        PyObject* key_text = nullptr;
        PyObject* redact_text = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$OOOO!OOOOO:setup", const_cast<char**>(keywords), &dump,
                                         &dump_light, &is_secret, &PyDict_Type, &cache, &type_name, &native_kind,
                                         &object_parts, &key_text, &redact_text)) {
            return PyError::fetch();
        }
        State& state = state_of(module);
        if (state.ready) {
            // Walks in progress borrow the hooks: they are set once.
            return PyError::make(PyExc_RuntimeError, "vesk._serialize.setup() may be called only once");
        }
        auto dict_name = utils::checked(PyUnicode_InternFromString("__dict__"));
        VESK_TRY(dict_name);
        auto module_getter = type_descriptor(utils::interned().dunder_module);
        VESK_TRY(module_getter);
        auto qualname_getter = type_descriptor(utils::interned().dunder_qualname);
        VESK_TRY(qualname_getter);
        state.python_dump = PyRef::borrow(dump);
        state.python_dump_lightweight = PyRef::borrow(dump_light);
        state.is_secret = PyRef::borrow(is_secret);
        state.secret_cache = PyRef::borrow(cache);
        state.type_name = PyRef::borrow(type_name);
        state.native_kind = PyRef::borrow(native_kind);
        state.object_parts = PyRef::borrow(object_parts);
        state.key_text = PyRef::borrow(key_text);
        state.redact_text = PyRef::borrow(redact_text);
        state.dict_name = std::move(*dict_name);
        state.module_getter = std::move(*module_getter);
        state.qualname_getter = std::move(*qualname_getter);
        state.settings.hooks = Hooks{
            .is_secret = is_secret,
            .secret_cache = cache,
            .type_name = type_name,
            .native_kind = native_kind,
            .object_parts = object_parts,
            .key_text = key_text,
            .redact_text = redact_text,
            .dict_name = state.dict_name.get(),
            .module_getter = state.module_getter.get(),
            .qualname_getter = state.qualname_getter.get(),
            .verdicts = &state.verdicts,
            .kinds = &state.kinds,
        };
        state.ready = true;
        return utils::none();
    });
}

// A limit as the walk holds it, or nothing when the walk does not take it on (negative, or too
// large for a machine integer): those limits leave every value to the Python serialiser.
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

PyObject* configure(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        static const char* keywords[] = {"max_string_length", "max_items",        "max_depth",
                                         "max_total_items",   "max_object_depth", nullptr};
        PyObject* values[5] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$OOOOO:configure", const_cast<char**>(keywords), &values[0],
                                         &values[1], &values[2], &values[3], &values[4])) {
            return PyError::fetch();
        }
        std::optional<Py_ssize_t> limits[5];
        for (int i = 0; i < 5; ++i) {
            auto read = limit(values[i], i == 2 ? MAX_NATIVE_DEPTH : PY_SSIZE_T_MAX);
            VESK_TRY(read);
            limits[i] = *read;
        }
        State& state = state_of(module);
        // Called whenever the settings change, the secret names and the reprs to call among them.
        state.verdicts.clear();
        state.kinds.clear();
        state.native = limits[0] && limits[1] && limits[2] && limits[3] && limits[4];
        if (state.native) {
            state.settings.limits = Limits{*limits[0], *limits[1], *limits[2], *limits[3], *limits[4]};
        }
        return PyRef::borrow(state.native ? Py_True : Py_False);
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
     PyDoc_STR("dump_msgpack(value) -> bytes\n--\n\nOne MessagePack value for `value`; objects are shown by their "
               "(bounded) repr.")},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     PyDoc_STR("dump_msgpack_lightweight_repr(value) -> bytes\n--\n\nLike `dump_msgpack`, but objects are shown by "
               "type and identity: no code of the program runs.")},
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setup)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("Hands over the Python serialiser's functions and caches; called once by vesk.serialize.")},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("Sets the limits; returns whether values are converted here (else by the Python serialiser).")},
    {"outline", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(outline)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("outline(document, offset, skip_prefix=b'') -> (skipped, spans, end)\n--\n\nvesk.serialize.outline, "
               "natively.")},
    {nullptr, nullptr, 0, nullptr},
};

int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    int result = 0;
    state_of(module).for_each_reference([&](PyRef& ref) {
        if (result == 0 && ref) {
            result = visit(ref.get(), arg);
        }
    });
    return result;
}

int clear(PyObject* module) noexcept {
    State& state = state_of(module);
    state.ready = false;
    state.for_each_reference([](PyRef& ref) { ref.reset(); });
    state.verdicts.clear();
    state.kinds.clear();
    return 0;
}

void free_state(void* module) noexcept {
    State& state = state_of(static_cast<PyObject*>(module));
    state.~State();
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vesk._serialize",
    PyDoc_STR("The native fast path of vesk.serialize; use that module."),
    sizeof(State),
    methods,
    nullptr,
    traverse,
    clear,
    free_state,
};

}  // namespace

}  // namespace vesk::serialize

PyMODINIT_FUNC PyInit__serialize() {
    using namespace vesk;
    if (auto names = utils::init_interned(); !names) {
        std::move(names.error()).restore();
        return nullptr;
    }
    utils::PyRef module = utils::PyRef::steal(PyModule_Create(&serialize::definition));
    if (!module) {
        return nullptr;
    }
    auto* state = new (PyModule_GetState(module.get())) serialize::State();
    state->nil = utils::PyRef::steal(PyBytes_FromStringAndSize("\xc0", 1));
    if (!state->nil) {
        return nullptr;
    }
    utils::PyRef api = utils::PyRef::steal(PyCapsule_New(
        const_cast<utils::NativeSerializerApi*>(&serialize::native_api), utils::NATIVE_SERIALIZER_CAPSULE, nullptr));
    if (!api || PyModule_AddObjectRef(module.get(), "_native_api", api.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
