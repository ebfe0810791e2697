// The default frame record of a recorded call or return.
#include "profiler/profiler.hpp"

#include <charconv>
#include <iterator>

#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/interned.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/qualname.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::FrameId;
using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

uintptr_t address_of(PyObject* frame) noexcept { return reinterpret_cast<uintptr_t>(frame); }

// The frame's locals as they are serialised: "__builtins__" (present in module-level frames) is left
// out, copying the dict only when it is there.
Result<PyRef> locals_to_record(PyObject* frame) noexcept {
    auto locals = utils::checked(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)));
    if (!locals) {
        return locals;
    }
    if (!PyDict_Check(locals->get())) {
        // Interpreters that hand out a proxy instead of a dict: record a snapshot of it.
        return utils::checked(PyDict_Copy(locals->get()));
    }
    PyObject* builtins = PyDict_GetItemWithError(locals->get(), utils::interned().dunder_builtins);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) {
            return utils::internal_error("locals.get(\"__builtins__\") should not raise.", PyError::fetch());
        }
        return locals;
    }
    auto copy = utils::checked(PyDict_Copy(locals->get()));
    if (!copy) {
        return copy;
    }
    if (PyDict_DelItem(copy->get(), utils::interned().dunder_builtins) < 0) {
        return PyError::fetch();
    }
    return copy;
}

std::optional<FrameId> frame_id_for(ThreadState& thread, PyObject* frame, Event event) {
    if (event == Event::Call) {
        FrameId id = utils::new_frame_id();
        thread.frame_ids.insert_or_assign(address_of(frame), id);
        return id;
    }
    auto found = thread.frame_ids.find(address_of(frame));
    if (found == thread.frame_ids.end()) {
        return std::nullopt;
    }
    // Forgotten at the return, so the map holds only open calls however long the program runs.
    FrameId id = found->second;
    thread.frame_ids.erase(found);
    return id;
}

// A call with an id opens an entry; a return closes the top entry only if it is its own frame, so a
// call that was not recorded cannot take its caller's entry with it.
void update_call_frames(ThreadState& thread, Event event, PyObject* frame, const std::optional<FrameId>& id) {
    if (event == Event::Return) {
        if (!thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame) {
            thread.call_frames.pop_back();
        }
    } else if (id) {
        thread.call_frames.push_back({PyRef::borrow(frame), *id});
    }
}

void write_call_site(utils::MsgpackWriter& writer, const std::optional<utils::CallSite>& call_site) noexcept {
    writer.str("user_code_call_site");
    if (!call_site) {
        writer.nil();
        return;
    }
    writer.map_header(2);
    writer.str("call_frame_id");
    writer.str(call_site->call_frame_id.view());
    writer.str("line_number");
    writer.int32(call_site->line_number);
}

// The "path" text: the code's path, kept on the code object for as long as the working directory
// stays the same, then a colon and the frame's line.
Result<const std::string*> record_path(PyObject* frame, const EventCode& code, RecordTexts* texts,
                                       std::string& scratch) noexcept {
    const int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    if (texts == nullptr || line < 0) {
        auto whole = utils::filename_with_lineno(frame);  // reports a missing line as it should
        if (!whole) {
            return std::move(whole.error());
        }
        scratch = std::move(*whole);
        return &scratch;
    }
    auto generation = utils::working_directory_generation();
    if (!generation) {
        return std::move(generation.error());
    }
    if (texts->path_generation != *generation) {
        auto path = utils::relative_path(code.filename);
        if (!path) {
            return std::move(path.error());
        }
        texts->path_prefix = std::move(*path);
        texts->path_prefix += ':';
        texts->path_generation = *generation;
    }
    char digits[16];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), line).ptr;
    scratch.assign(texts->path_prefix);
    scratch.append(digits, end);
    return &scratch;
}

// The qualified name, kept on the code object for as long as its globals' "__name__" is the same
// object it was built from.
Result<const std::optional<std::string>*> record_qualname(PyObject* frame, RecordTexts* texts,
                                                          std::optional<std::string>& fresh) noexcept {
    PyRef module_name;
    if (texts != nullptr) {
        PyRef globals = PyRef::steal(PyFrame_GetGlobals(reinterpret_cast<PyFrameObject*>(frame)));
        if (PyDict_CheckExact(globals.get())) {
            module_name = PyRef::borrow(PyDict_GetItemWithError(globals.get(), utils::interned().dunder_name));
            if (!module_name) {
                PyErr_Clear();  // Nothing kept for such globals; get_qualname reports what is wrong.
            } else if (module_name.get() == texts->module_name.get()) {
                return &texts->qualname;
            }
        }
    }
    auto qualname = utils::get_qualname(frame);
    if (!qualname) {
        return std::move(qualname.error());
    }
    if (module_name) {
        texts->module_name = std::move(module_name);
        texts->qualname = std::move(*qualname);
        return &texts->qualname;
    }
    fresh = std::move(*qualname);
    return &fresh;
}

}  // namespace

Result<const utils::ThreadInfo*> Profiler::thread_info(ThreadState& thread) noexcept {
    if (!thread.info) {
        auto info = utils::current_thread();
        if (!info) {
            return std::move(info.error());
        }
        thread.info = std::move(*info);
    }
    return &*thread.info;
}

Result<utils::Record> Profiler::process_frame(PyObject* frame, Event event, PyObject* arg, const EventCode& code,
                                              ThreadState& thread) {
    auto info = thread_info(thread);
    if (!info) {
        return std::move(info.error());
    }
    RecordTexts* texts = cached_texts(code.code.get());
    auto path = record_path(frame, code, texts, thread.scratch_path);
    if (!path) {
        return std::move(path.error());
    }
    std::optional<std::string> fresh_qualname;
    auto qualname = record_qualname(frame, texts, fresh_qualname);
    if (!qualname) {
        return std::move(qualname.error());
    }
    auto locals = locals_to_record(frame);
    if (!locals) {
        return std::move(locals.error());
    }
    std::optional<FrameId> id = frame_id_for(thread, frame, event);
    auto call_site = utils::user_code_call_site(thread.call_frames, id ? &*id : nullptr);
    if (!call_site) {
        return std::move(call_site.error());
    }
    auto arg_bytes = utils::dump_msgpack(arg, config_.serializer());
    if (!arg_bytes) {
        return std::move(arg_bytes.error());
    }
    auto locals_bytes = utils::dump_msgpack(locals->get(), config_.serializer());
    if (!locals_bytes) {
        return std::move(locals_bytes.error());
    }
    update_call_frames(thread, event, frame, id);

    utils::Record record = std::move(thread.spare_record);
    record.clear();
    record.reserve(256 + (*path)->size() + arg_bytes->size() + locals_bytes->size());
    utils::MsgpackWriter writer(record);
    writer.map_header(12);
    writer.str("path");
    writer.str(**path);
    writer.str("co_name");
    writer.str(code.name_text);
    utils::write_str_pair(writer, "qualname", **qualname);
    writer.str("event");
    writer.str(utils::event_name(event));
    utils::write_str_pair(writer, "frame_id", id ? std::optional(id->view()) : std::nullopt);
    utils::write_raw_pair(writer, "arg", std::move(*arg_bytes));
    utils::write_raw_pair(writer, "locals", std::move(*locals_bytes));
    writer.str("thread");
    writer.str((*info)->name);
    utils::write_int_pair(writer, "thread_native_id", (*info)->native_id);
    auto now = utils::timestamp();
    if (!now) {
        return std::move(now.error());
    }
    utils::write_f64_pair(writer, *now);
    writer.str("type");
    writer.str("frame");
    write_call_site(writer, *call_site);
    if (auto written = writer.finish(); !written) {
        return std::move(written.error());
    }
    return record;
}

}  // namespace vesk::profiler
