// Test-only access to the utilities layer: identifiers, the serialiser bridge, the MessagePack
// writers and the frame introspection helpers.
#include <Python.h>

#include <deque>
#include <string>
#include <vector>

#include "host/host.hpp"
#include "serialize/bridge.hpp"
#include "testing/bindings.hpp"
#include "utils/entry.hpp"
#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/locks.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/qualname.hpp"

namespace vesk::testing {

namespace {

using utils::ByteBuffer;
using utils::checked;
using utils::MsgpackWriter;
using utils::object_entry;
using utils::PyError;
using utils::PyRef;
using utils::Result;

Result<PyRef> str_object(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<PyRef> bytes_object(const ByteBuffer& bytes) {
    return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Result<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        return PyError::fetch();
    }
    return std::string_view(utf8, static_cast<size_t>(size));
}

Result<ByteBuffer> buffer_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
        return PyError::fetch();
    }
    ByteBuffer buffer;
    buffer.append(data, static_cast<size_t>(size));
    return buffer;
}

Result<utils::RecordLog> records_of(PyObject* list) {
    if (!PyList_Check(list)) {
        return PyError::type_error("records must be a list of bytes");
    }
    utils::RecordLog records;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        auto record = buffer_of(PyList_GET_ITEM(list, i));
        VESK_TRY(record);
        records.append(record->view());
    }
    return records;
}

// Runs `write` on a fresh writer and returns the bytes, or the writer's failure.
template <class Write>
Result<PyRef> written(Write&& write) {
    ByteBuffer out;
    MsgpackWriter writer(out);
    VESK_TRY(write(writer));
    VESK_TRY(writer.finish());
    return bytes_object(out);
}

Result<PyRef> ulid_tuple(utils::Ulid ulid) {
    const auto text = utils::ulid_text(ulid);
    return checked(Py_BuildValue("(KKs#)", static_cast<unsigned long long>(ulid.high),
                                 static_cast<unsigned long long>(ulid.low), text.data(),
                                 static_cast<Py_ssize_t>(text.size())));
}

Result<PyRef> optional_text(const std::optional<std::string>& text) {
    if (!text) {
        return utils::none();
    }
    return str_object(*text);
}

// ---- identifiers and timestamps

PyObject* frame_id(PyObject*, PyObject*) {
    return object_entry([] { return str_object(utils::new_frame_id().view()); });
}

PyObject* trace_id(PyObject*, PyObject*) {
    return object_entry([] { return str_object(utils::new_trace_id()); });
}

// frame_id_from_text(text): the text back, or None when it is not a frame id's length.
PyObject* frame_id_from_text(PyObject*, PyObject* text) {
    return object_entry([&]() -> Result<PyRef> {
        auto view = utf8_of(text);
        VESK_TRY(view);
        auto id = utils::FrameId::from_text(*view);
        if (!id) {
            return utils::none();
        }
        return str_object(id->view());
    });
}

// ulid(unix_millis): (high, low, text) of a freshly drawn ULID.
PyObject* ulid(PyObject*, PyObject* args) {
    unsigned long long millis = 0;
    if (!PyArg_ParseTuple(args, "K", &millis)) {
        return nullptr;
    }
    return object_entry([&] { return ulid_tuple(utils::make_ulid(millis)); });
}

// ulid_text(high, low)
PyObject* ulid_text(PyObject*, PyObject* args) {
    unsigned long long high = 0;
    unsigned long long low = 0;
    if (!PyArg_ParseTuple(args, "KK", &high, &low)) {
        return nullptr;
    }
    return object_entry([&] {
        const auto text = utils::ulid_text({high, low});
        return str_object({text.data(), text.size()});
    });
}

bool parse_clock(PyObject* args, utils::ClockReading& reading) {
    long long seconds = 0;
    long long nanoseconds = 0;
    if (!PyArg_ParseTuple(args, "LL", &seconds, &nanoseconds)) {
        return false;
    }
    reading = {seconds, nanoseconds};
    return true;
}

// clock_millis(seconds, nanoseconds): the ULID time field for that clock reading.
PyObject* clock_millis(PyObject*, PyObject* args) {
    utils::ClockReading reading{};
    if (!parse_clock(args, reading)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(utils::unix_millis_from(reading));
}

PyObject* timestamp(PyObject*, PyObject*) {
    return object_entry([]() -> Result<PyRef> {
        auto now = utils::timestamp();
        VESK_TRY(now);
        return checked(PyFloat_FromDouble(*now));
    });
}

// timestamp_from(seconds, nanoseconds)
PyObject* timestamp_from(PyObject*, PyObject* args) {
    utils::ClockReading reading{};
    if (!parse_clock(args, reading)) {
        return nullptr;
    }
    return object_entry([&]() -> Result<PyRef> {
        auto stamp = utils::timestamp_from(reading);
        VESK_TRY(stamp);
        return checked(PyFloat_FromDouble(*stamp));
    });
}

PyObject* random_seedings(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(utils::random_seedings_on_this_thread());
}

// ---- serialiser bridge

// dump_msgpack(value, lightweight)
PyObject* dump_msgpack(PyObject*, PyObject* args) {
    PyObject* value = nullptr;
    int lightweight = 0;
    if (!PyArg_ParseTuple(args, "Op", &value, &lightweight)) {
        return nullptr;
    }
    return object_entry([&]() -> Result<PyRef> {
        auto bytes = host::Host().dump_msgpack(value, lightweight != 0 ? serialize::Serializer::LightweightRepr
                                                                       : serialize::Serializer::Full);
        VESK_TRY(bytes);
        return bytes_object(*bytes);
    });
}

PyObject* bytes_from_sequence(PyObject*, PyObject* value) {
    return object_entry([&]() -> Result<PyRef> {
        auto bytes = serialize::bytes_from_sequence(value);
        VESK_TRY(bytes);
        return bytes_object(*bytes);
    });
}

// ---- MessagePack writer

// write_values([(op, argument), ...]): one writer call per pair; op is one of "map", "array", "str",
// "uint", "int32", "f64", "nil", "true", "raw".
utils::Status write_one(MsgpackWriter& w, std::string_view op, PyObject* argument) {
    if (op == "nil") {
        w.nil();
    } else if (op == "true") {
        w.true_value();
    } else if (op == "str" || op == "raw") {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (op == "str") {
            data = const_cast<char*>(PyUnicode_AsUTF8AndSize(argument, &size));
        } else if (PyBytes_AsStringAndSize(argument, &data, &size) < 0) {
            data = nullptr;
        }
        if (data == nullptr) {
            return PyError::fetch();
        }
        const std::string_view view(data, static_cast<size_t>(size));
        op == "str" ? w.str(view) : w.raw(view);
    } else if (op == "f64") {
        const double value = PyFloat_AsDouble(argument);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return PyError::fetch();
        }
        w.f64(value);
    } else if (op == "int32") {
        int value = 0;
        if (!PyArg_Parse(argument, "i", &value)) {
            return PyError::fetch();
        }
        w.int32(value);
    } else {
        const unsigned long long value = PyLong_AsUnsignedLongLong(argument);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            return PyError::fetch();
        }
        if (op == "uint") {
            w.uint(value);
        } else if (op == "map") {
            w.map_header(static_cast<uint32_t>(value));
        } else if (op == "array") {
            w.array_header(static_cast<uint32_t>(value));
        } else {
            return PyError::make(PyExc_ValueError, "unknown writer operation");
        }
    }
    return {};
}

PyObject* write_values(PyObject*, PyObject* values) {
    return object_entry([&] {
        return written([&](MsgpackWriter& w) -> utils::Status {
            if (!PyList_Check(values)) {
                return PyError::type_error("write_values takes a list of (op, argument) pairs");
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
                const char* op = nullptr;
                PyObject* argument = nullptr;
                if (!PyArg_ParseTuple(PyList_GET_ITEM(values, i), "sO", &op, &argument)) {
                    return PyError::fetch();
                }
                if (auto status = write_one(w, op, argument); !status) {
                    return status;
                }
            }
            return {};
        });
    });
}

// write_str_pair(key, value_or_None)
PyObject* write_str_pair(PyObject*, PyObject* args) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (!PyArg_ParseTuple(args, "sz", &key, &value)) {
        return nullptr;
    }
    return object_entry([&] {
        return written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_str_pair(w, key, value == nullptr ? std::nullopt : std::optional<std::string_view>(value));
            return {};
        });
    });
}

// write_raw_pair(key, encoded): (written bytes, size left in the caller's buffer afterwards)
PyObject* write_raw_pair(PyObject*, PyObject* args) {
    const char* key = nullptr;
    PyObject* encoded = nullptr;
    if (!PyArg_ParseTuple(args, "sS", &key, &encoded)) {
        return nullptr;
    }
    return object_entry([&]() -> Result<PyRef> {
        auto buffer = buffer_of(encoded);
        VESK_TRY(buffer);
        auto out = written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_raw_pair(w, key, std::move(*buffer));
            return {};
        });
        if (!out) {
            return out;
        }
        return checked(Py_BuildValue("(On)", out->get(), static_cast<Py_ssize_t>(buffer->size())));
    });
}

// write_int_pair(key, value_or_None)
PyObject* write_int_pair(PyObject*, PyObject* args) {
    const char* key = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &key, &value)) {
        return nullptr;
    }
    return object_entry([&] {
        return written([&](MsgpackWriter& w) -> utils::Status {
            std::optional<uint64_t> number;
            if (value != Py_None) {
                const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
                if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
                    return PyError::fetch();
                }
                number = converted;
            }
            utils::write_int_pair(w, key, number);
            return {};
        });
    });
}

PyObject* write_f64_pair(PyObject*, PyObject* args) {
    double value = 0;
    if (!PyArg_ParseTuple(args, "d", &value)) {
        return nullptr;
    }
    return object_entry([&] {
        return written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_f64_pair(w, value);
            return {};
        });
    });
}

template <class Write>
PyObject* write_records(PyObject* list, Write&& write) {
    return object_entry([&]() -> Result<PyRef> {
        auto records = records_of(list);
        VESK_TRY(records);
        return written([&](MsgpackWriter& w) -> utils::Status {
            write(w, *records);
            return {};
        });
    });
}

PyObject* write_raw_frames(PyObject*, PyObject* list) {
    return write_records(
        list, [](MsgpackWriter& w, const utils::RecordLog& records) { utils::write_raw_frames(w, records); });
}

PyObject* write_frames_of_interest(PyObject*, PyObject* list) {
    return write_records(
        list, [](MsgpackWriter& w, const utils::RecordLog& records) { utils::write_frames_of_interest(w, records); });
}

PyObject* write_argv(PyObject*, PyObject* list) {
    return object_entry([&]() -> Result<PyRef> {
        if (!PyList_Check(list)) {
            return PyError::type_error("argv must be a list of str");
        }
        std::vector<std::string> argv;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            auto text = utf8_of(PyList_GET_ITEM(list, i));
            VESK_TRY(text);
            argv.emplace_back(*text);
        }
        return written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_argv(w, argv);
            return {};
        });
    });
}

// write_frames({thread_id: [record, ...]})
PyObject* write_frames(PyObject*, PyObject* dict) {
    return object_entry([&]() -> Result<PyRef> {
        if (!PyDict_Check(dict)) {
            return PyError::type_error("frames must be a dict");
        }
        std::unordered_map<uint64_t, utils::RecordLog> frames;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            const unsigned long long thread_id = PyLong_AsUnsignedLongLong(key);
            if (thread_id == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
                return PyError::fetch();
            }
            auto records = records_of(value);
            VESK_TRY(records);
            frames.emplace(thread_id, std::move(*records));
        }
        return written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_frames(w, frames);
            return {};
        });
    });
}

// write_meta(version, source)
PyObject* write_meta(PyObject*, PyObject* args) {
    const char* version = nullptr;
    const char* source = nullptr;
    if (!PyArg_ParseTuple(args, "ss", &version, &source)) {
        return nullptr;
    }
    return object_entry([&] {
        return written([&](MsgpackWriter& w) -> utils::Status {
            utils::write_meta(w, version, source);
            return {};
        });
    });
}

// ---- frames

PyObject* current_thread(PyObject*, PyObject*) {
    return object_entry([]() -> Result<PyRef> {
        auto info = utils::current_thread();
        VESK_TRY(info);
        auto name = str_object(info->name);
        if (!name) {
            return name;
        }
        if (!info->native_id) {
            return checked(Py_BuildValue("(OO)", name->get(), Py_None));
        }
        return checked(Py_BuildValue("(OK)", name->get(), static_cast<unsigned long long>(*info->native_id)));
    });
}

// user_code_call_site([(frame, id_text), ...], current_id_or_None): None or (call_frame_id, line).
PyObject* user_code_call_site(PyObject*, PyObject* args) {
    PyObject* stack = nullptr;
    PyObject* current = nullptr;
    if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &stack, &current)) {
        return nullptr;
    }
    return object_entry([&]() -> Result<PyRef> {
        auto id_of = [](PyObject* text) -> Result<utils::FrameId> {
            auto view = utf8_of(text);
            VESK_TRY(view);
            auto id = utils::FrameId::from_text(*view);
            if (!id) {
                return PyError::make(PyExc_ValueError, "not a frame id");
            }
            return *id;
        };
        std::vector<utils::CallFrame> call_frames;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stack); ++i) {
            PyObject* frame = nullptr;
            PyObject* text = nullptr;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(stack, i), "OO", &frame, &text)) {
                return PyError::fetch();
            }
            auto id = id_of(text);
            VESK_TRY(id);
            call_frames.push_back({PyRef::borrow(frame), *id, {}, {}});
        }
        std::optional<utils::FrameId> current_id;
        if (current != Py_None) {
            auto id = id_of(current);
            VESK_TRY(id);
            current_id = *id;
        }
        auto site = utils::user_code_call_site(call_frames, current_id ? &*current_id : nullptr);
        VESK_TRY(site);
        if (!*site) {
            return utils::none();
        }
        const auto text = (*site)->call_frame_id.view();
        return checked(Py_BuildValue("(s#i)", text.data(), static_cast<Py_ssize_t>(text.size()),
                                     static_cast<int>((*site)->line_number)));
    });
}

PyObject* line_number_from(PyObject*, PyObject* value) {
    return object_entry([&]() -> Result<PyRef> {
        auto line = utils::line_number_from(value);
        VESK_TRY(line);
        return checked(PyLong_FromLong(*line));
    });
}

PyObject* filename_with_lineno(PyObject*, PyObject* frame) {
    return object_entry([&]() -> Result<PyRef> {
        auto position = utils::filename_with_lineno(frame);
        VESK_TRY(position);
        return str_object(*position);
    });
}

PyObject* lossy_utf8(PyObject*, PyObject* bytes) {
    return object_entry([&]() -> Result<PyRef> {
        auto buffer = buffer_of(bytes);
        VESK_TRY(buffer);
        return str_object(utils::lossy_utf8(buffer->view()));
    });
}

// ---- locals

Result<PyRef> items_of(Result<PyRef> locals) {
    if (!locals) {
        return locals;
    }
    return checked(PyDict_Items(locals->get()));
}

// At every call and return, the locals as the engine reads them beside the interpreter's own; the
// events where the two differ, in
// keys, values or order, are collected in `disagreements`.
int compare_frame_locals(PyObject* disagreements, PyFrameObject* frame, int what, PyObject*) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return 0;
    }
    auto* object = reinterpret_cast<PyObject*>(frame);
    auto ours = items_of(utils::frame_locals(object));
    auto theirs = items_of(utils::interpreter_frame_locals(object));
    if (!ours || !theirs) {
        std::move(ours ? theirs.error() : ours.error()).restore();
        return -1;
    }
    const int same = PyObject_RichCompareBool(ours->get(), theirs->get(), Py_EQ);
    if (same != 0) {
        return same < 0 ? -1 : 0;
    }
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyRef entry = PyRef::steal(Py_BuildValue("(OsOO)", reinterpret_cast<PyCodeObject*>(code.get())->co_name,
                                             what == PyTrace_CALL ? "call" : "return", ours->get(), theirs->get()));
    return entry ? PyList_Append(disagreements, entry.get()) : -1;
}

PyObject* frame_locals_disagreements(PyObject*, PyObject* callable) {
    return object_entry([&]() -> Result<PyRef> {
        auto disagreements = checked(PyList_New(0));
        if (!disagreements) {
            return disagreements;
        }
        PyEval_SetProfile(compare_frame_locals, disagreements->get());
        auto called = checked(PyObject_CallNoArgs(callable));
        PyEval_SetProfile(nullptr, nullptr);
        VESK_TRY(called);
        return disagreements;
    });
}

// ---- qualified names

PyObject* get_qualname(PyObject*, PyObject* frame) {
    return object_entry([&]() -> Result<PyRef> {
        auto name = utils::get_qualname(frame);
        VESK_TRY(name);
        return optional_text(*name);
    });
}

// get_qualname_inner(frame, co_name)
PyObject* get_qualname_inner(PyObject*, PyObject* args) {
    PyObject* frame = nullptr;
    PyObject* co_name = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &frame, &co_name)) {
        return nullptr;
    }
    return object_entry([&]() -> Result<PyRef> {
        auto name = utils::get_qualname_inner(frame, co_name);
        VESK_TRY(name);
        return optional_text(*name);
    });
}

// take_engine_locks(ranks): takes one engine lock of each rank in the list, in its order, all held
// together, then lets them go; a broken locking rule ends the process (checked builds).
PyObject* take_engine_locks(PyObject*, PyObject* ranks) {
    std::deque<utils::Guarded<int>> locks;
    std::vector<utils::Locked<int>> held;
    const Py_ssize_t count = PyList_Check(ranks) ? PyList_GET_SIZE(ranks) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long rank = PyLong_AsLong(PyList_GET_ITEM(ranks, i));
        if (rank < 0 || rank > static_cast<long>(utils::LockRank::Totals)) {
            PyErr_SetString(PyExc_ValueError, "no such lock rank");
            return nullptr;
        }
        held.push_back(locks.emplace_back(static_cast<utils::LockRank>(rank)).lock());
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"take_engine_locks", take_engine_locks, METH_O, nullptr},
    {"frame_id", frame_id, METH_NOARGS, nullptr},
    {"trace_id", trace_id, METH_NOARGS, nullptr},
    {"frame_id_from_text", frame_id_from_text, METH_O, nullptr},
    {"ulid", ulid, METH_VARARGS, nullptr},
    {"ulid_text", ulid_text, METH_VARARGS, nullptr},
    {"clock_millis", clock_millis, METH_VARARGS, nullptr},
    {"timestamp", timestamp, METH_NOARGS, nullptr},
    {"timestamp_from", timestamp_from, METH_VARARGS, nullptr},
    {"random_seedings", random_seedings, METH_NOARGS, nullptr},
    {"dump_msgpack", dump_msgpack, METH_VARARGS, nullptr},
    {"bytes_from_sequence", bytes_from_sequence, METH_O, nullptr},
    {"write_values", write_values, METH_O, nullptr},
    {"write_str_pair", write_str_pair, METH_VARARGS, nullptr},
    {"write_raw_pair", write_raw_pair, METH_VARARGS, nullptr},
    {"write_int_pair", write_int_pair, METH_VARARGS, nullptr},
    {"write_f64_pair", write_f64_pair, METH_VARARGS, nullptr},
    {"write_raw_frames", write_raw_frames, METH_O, nullptr},
    {"write_frames_of_interest", write_frames_of_interest, METH_O, nullptr},
    {"write_argv", write_argv, METH_O, nullptr},
    {"write_frames", write_frames, METH_O, nullptr},
    {"write_meta", write_meta, METH_VARARGS, nullptr},
    {"current_thread", current_thread, METH_NOARGS, nullptr},
    {"user_code_call_site", user_code_call_site, METH_VARARGS, nullptr},
    {"line_number_from", line_number_from, METH_O, nullptr},
    {"filename_with_lineno", filename_with_lineno, METH_O, nullptr},
    {"lossy_utf8", lossy_utf8, METH_O, nullptr},
    {"frame_locals_disagreements", frame_locals_disagreements, METH_O, nullptr},
    {"get_qualname", get_qualname, METH_O, nullptr},
    {"get_qualname_inner", get_qualname_inner, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_utils_bindings(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vesk::testing
