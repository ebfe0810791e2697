#include <algorithm>
#include <array>
#include <new>

#include "plugins/processor.hpp"
#include "utils/convert.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"

namespace vesk::plugins {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

// The part of the thread's call-frame stack that the call-site search can look at (its last two
// entries), taken before any plugin code runs and holding its own references, so nothing the
// callables do afterwards can change or free what the search sees.
class CallFramesSnapshot {
public:
    explicit CallFramesSnapshot(std::span<const utils::CallFrame> call_frames) noexcept {
        auto tail = call_frames.last(std::min(call_frames.size(), entries_.size()));
        for (const auto& entry : tail) {
            entries_[count_++] = utils::CallFrame{entry.frame.clone(), entry.id, entry.lines, entry.filename};
        }
    }
    [[nodiscard]] std::span<const utils::CallFrame> view() const noexcept { return {entries_.data(), count_}; }

private:
    std::array<utils::CallFrame, 2> entries_{};
    size_t count_ = 0;
};

// Stores one of the record's own keys. Making the value may fail (memory); storing a str key cannot.
utils::Status set_item(PyObject* dict, PyObject* key, Result<PyRef> value) noexcept {
    VESK_TRY(value);
    if (PyDict_SetItem(dict, key, value->get()) < 0) {
        return utils::internal_error("a string is always a valid dict key", PyError::fetch());
    }
    return {};
}

Result<PyRef> text_object(std::string_view text) noexcept {
    return utils::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<PyRef> float_object(Result<double> value) noexcept {
    VESK_TRY(value);
    return utils::checked(PyFloat_FromDouble(*value));
}

Result<PyRef> native_id_object(std::optional<uint64_t> native_id) noexcept {
    if (!native_id) {
        return PyRef::borrow(Py_None);
    }
    return utils::checked(PyLong_FromUnsignedLongLong(*native_id));
}

Result<PyRef> call_site_object(const std::optional<utils::CallSite>& call_site) noexcept {
    if (!call_site) {
        return PyRef::borrow(Py_None);
    }
    auto dict = utils::checked(PyDict_New());
    if (!dict) {
        return dict;
    }
    const auto& names = utils::interned();
    VESK_TRY(set_item(dict->get(), names.call_frame_id, text_object(call_site->call_frame_id.view())));
    VESK_TRY(set_item(dict->get(), names.line_number, utils::checked(PyLong_FromLong(call_site->line_number))));
    return dict;
}

// The processor's id for this frame: fresh at a call (and remembered for its return), the
// remembered one at a return, fresh again when the call was never seen. The return forgets it, so the
// map holds only open calls however long the program runs.
utils::FrameId frame_id_for(PluginProcessor& processor, const PluginEvent& event) {
    const auto address = reinterpret_cast<uintptr_t>(event.frame);
    if (event.event == utils::Event::Return) {
        if (auto known = processor.frame_ids_by_address.find(address); known != processor.frame_ids_by_address.end()) {
            utils::FrameId id = known->second;
            processor.frame_ids_by_address.erase(known);
            return id;
        }
        return utils::new_frame_id();
    }
    utils::FrameId id = utils::new_frame_id();
    processor.frame_ids_by_address.insert_or_assign(address, id);
    return id;
}

// Whether `process` gave something the record can be updated from: a dict, or a
// collections.abc.Mapping. The check's own failures are not the plugin's error, so they go to the
// unraisable hook and the value counts as no mapping.
bool is_mapping(PyObject* value) noexcept {
    if (PyDict_Check(value)) {
        return true;
    }
    auto module = utils::import_module(utils::interned().module_collections_abc);
    if (!module) {
        std::move(module.error()).discard_as_unraisable(value);
        return false;
    }
    auto mapping = utils::checked(PyObject_GetAttr(module->get(), utils::interned().mapping));
    if (!mapping) {
        std::move(mapping.error()).discard_as_unraisable(value);
        return false;
    }
    int found = PyObject_IsInstance(value, mapping->get());
    if (found < 0) {
        PyError::fetch().discard_as_unraisable(value);
        return false;
    }
    return found == 1;
}

// Steps after the path test, which the caller has passed.
Result<std::optional<PluginRecord>> run_matching(PluginProcessor& processor, const PluginEvent& event) {
    utils::may_run_python();
    const auto& names = utils::interned();
    PyObject* const args[] = {event.frame, utils::event_name_object(event.event), event.arg, processor.context.get()};
    constexpr size_t nargs = sizeof(args) / sizeof(args[0]);

    // The predicate sees every event, including those "events" will exclude below.
    if (processor.call) {
        auto verdict = utils::checked(PyObject_Vectorcall(processor.call.get(), args, nargs, nullptr));
        VESK_TRY(verdict);
        auto applies = utils::bool_of(verdict->get());
        VESK_TRY(applies);
        if (!*applies) {
            return std::nullopt;
        }
    }

    CallFramesSnapshot call_frames(event.call_frames);

    if (processor.events) {
        const std::string_view name = utils::event_name(event.event);
        if (std::ranges::find(*processor.events, name) == processor.events->end()) {
            return std::nullopt;
        }
    }

    auto record_object = utils::checked(PyDict_New());
    VESK_TRY(record_object);
    PyObject* record = record_object->get();

    const utils::FrameId id = frame_id_for(processor, event);
    VESK_TRY(set_item(record, names.frame_id, text_object(id.view())));
    VESK_TRY(set_item(record, names.timestamp, float_object(utils::timestamp())));

    // Asked afresh: the per-thread identity cache belongs to the default records.
    auto thread = utils::current_thread();
    VESK_TRY(thread);
    VESK_TRY(set_item(record, names.thread, text_object(thread->name)));
    VESK_TRY(set_item(record, names.thread_native_id, native_id_object(thread->native_id)));

    auto call_site = utils::user_code_call_site(call_frames.view(), &id);
    VESK_TRY(call_site);
    VESK_TRY(set_item(record, names.user_code_call_site, call_site_object(*call_site)));

    const std::string& type = event.event == utils::Event::Call ? processor.call_type : processor.return_type;
    VESK_TRY(set_item(record, names.type, text_object(type)));
    if (processor.subtype) {
        VESK_TRY(set_item(record, names.subtype, text_object(*processor.subtype)));
    }

    if (processor.process) {
        auto fields = utils::checked(PyObject_Vectorcall(processor.process.get(), args, nargs, nullptr));
        VESK_TRY(fields);
        if (!is_mapping(fields->get())) {
            return utils::conversion_error(fields->get(), "Mapping");
        }
        // dict.update: an existing key keeps its place and takes the new value, so `process` may
        // override any standard field, "type" included.
        if (PyDict_Update(record, fields->get()) < 0) {
            return PyError::fetch();
        }
    }

    // "type" was stored above and an update only replaces values, so it is there; a lookup can still
    // raise if `process` added a key whose __eq__ raises against it.
    PyObject* type_value = PyDict_GetItemWithError(record, names.type);
    if (type_value == nullptr) {
        if (PyErr_Occurred()) {
            return utils::internal_error("data[\"type\"] should not raise.", PyError::fetch());
        }
        return utils::internal_error("data[\"type\"] should not be missing.");
    }
    auto final_type = utils::string_of(type_value);
    VESK_TRY(final_type);

    auto bytes = event.host.dump_msgpack(record, event.serializer);
    VESK_TRY(bytes);
    return PluginRecord{std::move(*bytes), std::move(*final_type)};
}

}  // namespace

Result<std::optional<PluginRecord>> run_processor(PluginProcessor& processor, const PluginEvent& event) noexcept {
    // Most processors of an entry are for another library's file: leave before anything is made.
    if (!processor.path_fragment.found_in(event.filename)) {
        return std::nullopt;
    }
    try {
        return run_matching(processor, event);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

}  // namespace vesk::plugins
