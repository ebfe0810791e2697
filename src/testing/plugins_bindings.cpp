// Test-only access to plugin loading and processing: `load_plugins(config)` summarises the table it
// builds, and `PluginTester(config)` keeps one to run its processors on real frames.
#include <array>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/processor.hpp"
#include "testing/bindings.hpp"
#include "utils/arguments.hpp"
#include "utils/convert.hpp"
#include "utils/entry.hpp"

namespace vesk::testing {

namespace {

using utils::PyError;
using utils::PyRef;
using utils::Result;

Result<PyRef> text_object(std::string_view text) {
    return utils::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<PyRef> optional_object(const PyRef& value) { return PyRef::borrow(value ? value.get() : Py_None); }

utils::Status set(PyObject* dict, const char* key, Result<PyRef> value) {
    VESK_TRY(value);
    if (PyDict_SetItemString(dict, key, value->get()) < 0) {
        return PyError::fetch();
    }
    return {};
}

Result<PyRef> frame_ids_object(const plugins::PluginProcessor& processor) {
    auto dict = utils::checked(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const auto& [address, id] : processor.frame_ids_by_address) {
        auto key = utils::checked(PyLong_FromUnsignedLongLong(address));
        if (!key) {
            return key;
        }
        auto value = text_object(id.view());
        if (!value) {
            return value;
        }
        if (PyDict_SetItem(dict->get(), key->get(), value->get()) < 0) {
            return PyError::fetch();
        }
    }
    return dict;
}

Result<PyRef> events_object(const std::optional<std::vector<std::string>>& events) {
    if (!events) {
        return PyRef::borrow(Py_None);
    }
    auto list = utils::checked(PyList_New(0));
    if (!list) {
        return list;
    }
    for (const auto& event : *events) {
        auto text = text_object(event);
        if (!text) {
            return text;
        }
        if (PyList_Append(list->get(), text->get()) < 0) {
            return PyError::fetch();
        }
    }
    return list;
}

Result<PyRef> processor_object(const plugins::PluginProcessor& processor) {
    auto dict = utils::checked(PyDict_New());
    if (!dict) {
        return dict;
    }
    PyObject* d = dict->get();
    utils::Status done = set(d, "path_fragment", text_object(processor.path_fragment.needle()));
    if (done) {
        done = set(d, "call_type", text_object(processor.call_type));
    }
    if (done) {
        done = set(d, "return_type", text_object(processor.return_type));
    }
    if (done) {
        done = set(d, "subtype", processor.subtype ? text_object(*processor.subtype) : PyRef::borrow(Py_None));
    }
    if (done) {
        done = set(d, "events", events_object(processor.events));
    }
    if (done) {
        done = set(d, "context", optional_object(processor.context));
    }
    if (done) {
        done = set(d, "call", optional_object(processor.call));
    }
    if (done) {
        done = set(d, "process", optional_object(processor.process));
    }
    if (done) {
        done = set(d, "frame_ids_by_address", frame_ids_object(processor));
    }
    VESK_TRY(done);
    return dict;
}

// {name: [processor fields, in table order]}
Result<PyRef> table_object(const plugins::PluginTable& table) {
    auto dict = utils::checked(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const auto& [name, processors] : table.entries()) {
        auto list = utils::checked(PyList_New(0));
        if (!list) {
            return list;
        }
        for (const auto& processor : processors) {
            auto fields = processor_object(processor);
            if (!fields) {
                return fields;
            }
            if (PyList_Append(list->get(), fields->get()) < 0) {
                return PyError::fetch();
            }
        }
        auto key = text_object(name);
        if (!key) {
            return key;
        }
        if (PyDict_SetItem(dict->get(), key->get(), list->get()) < 0) {
            return PyError::fetch();
        }
    }
    return dict;
}

PyObject* load_plugins(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<1>("load_plugins", {"config"}, args, nargs, kwnames);
        VESK_TRY(in);
        host::Host host;
        auto table = plugins::load_plugins(host, (*in)[0]);
        VESK_TRY(table);
        return table_object(*table);
    });
}

// ---- PluginTester ----

struct Tester {
    PyObject_HEAD
    std::optional<plugins::PluginTable> table;
};

Tester* as_tester(PyObject* self) { return reinterpret_cast<Tester*>(self); }

PyObject* tester_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return utils::object_entry([&]() -> Result<PyRef> {
        PyObject* config = nullptr;
        if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
            !PyArg_UnpackTuple(args, "PluginTester", 1, 1, &config)) {
            if (!PyErr_Occurred()) {
                return PyError::type_error("PluginTester(config) takes no keyword arguments");
            }
            return PyError::fetch();
        }
        host::Host host;
        auto table = plugins::load_plugins(host, config);
        VESK_TRY(table);
        auto self = utils::checked(type->tp_alloc(type, 0));
        if (!self) {
            return self;
        }
        new (&as_tester(self->get())->table) std::optional<plugins::PluginTable>(std::move(*table));
        return self;
    });
}

int tester_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const auto& table = as_tester(self)->table;
    return table ? table->traverse(visit, arg) : 0;
}

int tester_clear(PyObject* self) {
    // Dropped outside the object: releasing the references may run Python code that looks at it.
    std::optional<plugins::PluginTable> dropped = std::move(as_tester(self)->table);
    as_tester(self)->table.reset();
    return 0;
}

void tester_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_tester(self)->table.~optional();
    type->tp_free(self);
    Py_DECREF(type);
}

Result<plugins::PluginProcessor*> processor_at(PyObject* self, PyObject* co_name, PyObject* index_object) {
    auto& table = as_tester(self)->table;
    if (!table) {
        return PyError::make(PyExc_RuntimeError, "the tester was cleared");
    }
    auto name = utils::string_view_of(co_name);
    VESK_TRY(name);
    Py_ssize_t index = PyLong_AsSsize_t(index_object);
    if (index == -1 && PyErr_Occurred()) {
        return PyError::fetch();
    }
    auto* processors = table->find(*name);
    if (processors == nullptr || index < 0 || static_cast<size_t>(index) >= processors->size()) {
        return PyError::make(PyExc_IndexError, "no such processor");
    }
    return &(*processors)[static_cast<size_t>(index)];
}

Result<utils::Event> event_of(PyObject* name) {
    auto text = utils::string_view_of(name);
    VESK_TRY(text);
    if (*text == "call") {
        return utils::Event::Call;
    }
    if (*text == "return") {
        return utils::Event::Return;
    }
    return PyError::make(PyExc_ValueError, "event must be \"call\" or \"return\"");
}

// [(frame, "frm_..."), ...] as the thread's call-frame stack, oldest first.
Result<std::vector<utils::CallFrame>> call_frames_of(PyObject* list) {
    auto sequence = utils::checked(PySequence_Fast(list, "call_frames must be a sequence"));
    VESK_TRY(sequence);
    std::vector<utils::CallFrame> call_frames;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence->get()); ++i) {
        PyObject* entry = PySequence_Fast_GET_ITEM(sequence->get(), i);
        PyObject* frame = nullptr;
        PyObject* id_text = nullptr;
        if (!PyArg_ParseTuple(entry, "OO:call_frames entry", &frame, &id_text)) {
            return PyError::fetch();
        }
        auto text = utils::string_view_of(id_text);
        VESK_TRY(text);
        auto id = utils::FrameId::from_text(*text);
        if (!id) {
            return PyError::make(PyExc_ValueError, "not a frame id");
        }
        call_frames.push_back(utils::CallFrame{PyRef::borrow(frame), *id, {}, {}});
    }
    return call_frames;
}

PyObject* tester_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<8>("run",
                               {"co_name", "index", "frame", "event", "arg", "filename", "call_frames", "lightweight"},
                               args, nargs, kwnames);
        VESK_TRY(in);
        auto [co_name, index, frame, event_name, arg, filename_object, call_frames_list, lightweight] = *in;
        auto processor = processor_at(self, co_name, index);
        VESK_TRY(processor);
        auto event = event_of(event_name);
        VESK_TRY(event);
        auto filename = utils::string_view_of(filename_object);
        VESK_TRY(filename);
        auto call_frames = call_frames_of(call_frames_list);
        VESK_TRY(call_frames);
        auto light = utils::bool_of(lightweight);
        VESK_TRY(light);
        host::Host host;
        const plugins::PluginEvent plugin_event{
            .frame = frame,
            .event = *event,
            .arg = arg,
            .filename = *filename,
            .call_frames = *call_frames,
            .serializer = *light ? serialize::Serializer::LightweightRepr : serialize::Serializer::Full,
            .host = host,
        };
        auto record = plugins::run_processor(**processor, plugin_event);
        VESK_TRY(record);
        if (!*record) {
            return utils::none();
        }
        auto bytes = utils::checked(
            PyBytes_FromStringAndSize((*record)->bytes.data(), static_cast<Py_ssize_t>((*record)->bytes.size())));
        if (!bytes) {
            return bytes;
        }
        auto type = text_object((*record)->type);
        if (!type) {
            return type;
        }
        return utils::checked(PyTuple_Pack(2, bytes->get(), type->get()));
    });
}

PyObject* tester_processor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto in = arguments<2>("processor", {"co_name", "index"}, args, nargs, kwnames);
        VESK_TRY(in);
        auto processor = processor_at(self, (*in)[0], (*in)[1]);
        VESK_TRY(processor);
        return processor_object(**processor);
    });
}

PyObject* tester_summary(PyObject* self, PyObject*) {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto& table = as_tester(self)->table;
        if (!table) {
            return PyError::make(PyExc_RuntimeError, "the tester was cleared");
        }
        return table_object(*table);
    });
}

#define VESK_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef tester_methods[] = {
    {"run", VESK_FASTCALL(tester_run), METH_FASTCALL | METH_KEYWORDS,
     "run(co_name, index, frame, event, arg, filename, call_frames, lightweight): runs one processor; "
     "(record bytes, type), or None when it does not apply."},
    {"processor", VESK_FASTCALL(tester_processor), METH_FASTCALL | METH_KEYWORDS,
     "processor(co_name, index): the processor's fields, as load_plugins shows them."},
    {"summary", tester_summary, METH_NOARGS, "The whole table, as load_plugins shows it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tester_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tester_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tester_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tester_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tester_clear)},
    {Py_tp_methods, tester_methods},
    {0, nullptr},
};

PyType_Spec tester_spec = {
    "_vesk_testing.PluginTester", sizeof(Tester), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, tester_slots,
};

PyMethodDef methods[] = {
    {"load_plugins", VESK_FASTCALL(load_plugins), METH_FASTCALL | METH_KEYWORDS,
     "load_plugins(config): {name: [processor fields]} of the table built from vesk.plugins."},
    {nullptr, nullptr, 0, nullptr},
};

#undef VESK_FASTCALL

}  // namespace

int add_plugins_bindings(PyObject* module) {
    if (PyModule_AddFunctions(module, methods) < 0) {
        return -1;
    }
    PyRef type = PyRef::steal(PyType_FromSpec(&tester_spec));
    if (!type) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "PluginTester", type.get());
}

}  // namespace vesk::testing
