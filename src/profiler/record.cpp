// The default frame record of a recorded call or return.
#include "profiler/profiler.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "profiler/frame_record.hpp"
#include "profiler/unwind.hpp"
#include "serialize/bridge.hpp"
#include "utils/compat.hpp"
#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/interned.hpp"
#include "utils/qualname.hpp"
#include "utils/record_cursor.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::FrameId;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

// Whether a frame of `code` can have "__builtins__" among its locals: only when they are not the
// function's own fast locals (module and class bodies, whose locals are a namespace dict) or when the
// function has a variable of that name.
bool locals_may_hold_builtins(PyObject* code_object) noexcept {
    auto* code = reinterpret_cast<PyCodeObject*>(code_object);
    if ((code->co_flags & CO_OPTIMIZED) == 0) {
        return true;
    }
    PyObject* names = code->co_localsplusnames;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), utils::interned().dunder_builtins) == 0) {
            return true;
        }
    }
    return false;
}

// Whether the frame's locals may hold "__builtins__" (module-level frames do), which is left out of
// what is serialised.
bool may_hold_builtins(PyObject* code, RecordTexts* texts) noexcept {
    using Builtins = RecordTexts::Builtins;
    if (texts == nullptr) {
        return locals_may_hold_builtins(code);
    }
    if (texts->builtins_in_locals == Builtins::Unknown) {
        texts->builtins_in_locals = locals_may_hold_builtins(code) ? Builtins::Maybe : Builtins::Never;
    }
    return texts->builtins_in_locals == Builtins::Maybe;
}

// The frame's locals as they are serialised: "__builtins__" is left out, copying the dict only when
// it is there.
Result<PyRef> locals_to_record(PyObject* frame, PyObject* code, RecordTexts* texts) noexcept {
    auto locals = utils::frame_locals(frame);
    if (!locals || !may_hold_builtins(code, texts)) {
        return locals;
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

// CAUTION: runs Python code (the serialiser). The frame's argument and locals serialised. The
// engine's own serialiser takes both as one record, the locals read where they lie when it can;
// another is called for each in turn, the argument first.
Result<serialize::FrameValues> serialize_frame(PyObject* frame, PyObject* code, RecordTexts* texts, PyObject* arg,
                                               const serialize::SerializerHandle& serializer,
                                               serialize::Serializer kind, ThreadState& thread) noexcept {
    if (serializer.native == nullptr) {
        auto arg_bytes = serialize::serialize_with(serializer, arg, kind, thread.serialized_arg);
        VESK_TRY(arg_bytes);
        auto locals = locals_to_record(frame, code, texts);
        VESK_TRY(locals);
        auto locals_bytes = serialize::serialize_with(serializer, locals->get(), kind, thread.serialized_locals);
        VESK_TRY(locals_bytes);
        return serialize::FrameValues{std::move(*arg_bytes), std::move(*locals_bytes)};
    }
    std::optional<utils::LocalsView> view;
    if (!may_hold_builtins(code, texts)) {
        view = utils::plain_locals_view(frame);
    }
    PyRef locals;
    if (!view) {
        auto dict = locals_to_record(frame, code, texts);
        VESK_TRY(dict);
        locals = std::move(*dict);
    }
    const serialize::RecordValue value = view ? serialize::RecordValue{nullptr, &*view}
                                              : serialize::RecordValue{locals.get(), nullptr};
    return serialize::serialize_frame_values(serializer, arg, value, kind, thread.serialized_arg,
                                             thread.serialized_locals);
}

using namespace std::string_view_literals;

// The keys, with each value's marker where it never changes. Split literals keep a hex escape from
// swallowing the letters of its key.
// clang-format off
constexpr auto PATH_KEY = "\x8c\xa4" "path"sv;
constexpr auto CO_NAME_KEY = "\xa7" "co_name"sv;
constexpr auto QUALNAME_KEY = "\xa8" "qualname"sv;
constexpr auto EVENT_CALL = "\xa5" "event" "\xa4" "call"sv;
constexpr auto EVENT_RETURN = "\xa5" "event" "\xa6" "return"sv;
constexpr auto EVENT_UNWIND = "\xa5" "event" "\xa6" "unwind"sv;
constexpr auto FRAME_ID_KEY = "\xa8" "frame_id"sv;
constexpr auto ARG_KEY = "\xa3" "arg"sv;
constexpr auto LOCALS_KEY = "\xa6" "locals"sv;
constexpr auto THREAD_KEY = "\xa6" "thread"sv;
constexpr auto NATIVE_ID_KEY = "\xb0" "thread_native_id"sv;
constexpr auto TIMESTAMP_KEY = "\xa9" "timestamp"sv;
constexpr auto TYPE_FRAME = "\xa4" "type" "\xa5" "frame"sv;
constexpr auto CALL_SITE_KEY = "\xb3" "user_code_call_site"sv;
constexpr auto CALL_FRAME_ID_KEY = "\x82\xad" "call_frame_id"sv;
constexpr auto LINE_NUMBER_KEY = "\xab" "line_number"sv;
// clang-format on

constexpr size_t FIXED_BYTES = PATH_KEY.size() + CO_NAME_KEY.size() + QUALNAME_KEY.size() + EVENT_RETURN.size() +
                               FRAME_ID_KEY.size() + ARG_KEY.size() + LOCALS_KEY.size() + THREAD_KEY.size() +
                               NATIVE_ID_KEY.size() + TIMESTAMP_KEY.size() + TYPE_FRAME.size() + CALL_SITE_KEY.size() +
                               CALL_FRAME_ID_KEY.size() + LINE_NUMBER_KEY.size();

// Reads the code's line table into `texts`, once (left empty where it cannot be read: the
// interpreter is then asked at every look-up).
void read_line_table(PyObject* code, RecordTexts& texts) noexcept {
    texts.lines_read = true;
    PyRef ranges = PyRef::steal(PyObject_CallMethod(code, "co_lines", nullptr));
    PyRef iterator = ranges ? PyRef::steal(PyObject_GetIter(ranges.get())) : PyRef();
    if (!iterator) {
        PyErr_Clear();  // Intended: as above.
        return;
    }
    constexpr long MOST_BYTES = 1L << 26;  // far beyond any real code object
    std::vector<int32_t> lines;
    try {
        while (PyRef range = PyRef::steal(PyIter_Next(iterator.get()))) {
            long start = 0;
            long end = 0;
            PyObject* line = nullptr;
            if (!PyArg_ParseTuple(range.get(), "llO", &start, &end, &line) || start < 0 || end < start ||
                end > MOST_BYTES) {
                PyErr_Clear();  // Intended: as above.
                return;
            }
            const long value = line == Py_None ? -1 : PyLong_AsLong(line);
            const auto first = static_cast<size_t>(start) / 2;
            const auto last = static_cast<size_t>(end) / 2;
            lines.resize(std::max(lines.size(), last), -1);
            std::fill(lines.begin() + static_cast<ptrdiff_t>(first), lines.begin() + static_cast<ptrdiff_t>(last),
                      static_cast<int32_t>(value));
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // Intended: as above.
        return;
    }
    texts.lines = std::move(lines);
}

// The frame's current line, as the interpreter says it, from the kept table where there is one.
int line_of(PyObject* frame, PyObject* code, RecordTexts* texts) noexcept {
    if (texts != nullptr) {
        if (!texts->lines_read) {
            read_line_table(code, *texts);
        }
        if (const int line = utils::kept_line(texts->lines, frame); line >= 0) {
            return line;
        }
    }
    return PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
}

// The "path" text: the code's path, kept on the code object for as long as the working directory
// stays the same, then a colon and the frame's line.
Result<PathText> record_path(PyObject* frame, const EventCode& code, RecordTexts* texts,
                             std::string& scratch) noexcept {
    const int line = line_of(frame, code.code.get(), texts);
    if (texts == nullptr || line < 0) {
        auto whole = utils::filename_with_lineno(frame);  // reports a missing line as it should
        VESK_TRY(whole);
        scratch = std::move(*whole);
        return PathText{scratch};
    }
    auto generation = utils::working_directory_generation();
    VESK_TRY(generation);
    if (texts->path_generation != *generation) {
        auto path = utils::relative_path(code.filename);
        VESK_TRY(path);
        texts->path_prefix = std::move(*path);
        texts->path_prefix += ':';
        texts->path_generation = *generation;
    }
    PathText text{texts->path_prefix};
    text.digit_count =
        static_cast<size_t>(std::to_chars(text.digits.begin(), text.digits.end(), line).ptr - text.digits.begin());
    return text;
}

// The qualified name, kept on the code object for as long as its globals' "__name__" is the same
// object it was built from. Globals that have not changed at all since (their version says so) need
// no look at "__name__".
Result<const std::optional<std::string>*> record_qualname(PyObject* frame, RecordTexts* texts,
                                                          std::optional<std::string>& fresh) noexcept {
    PyRef module_name;
    uint64_t globals_version = 0;
    if (texts != nullptr) {
        PyRef globals = PyRef::steal(PyFrame_GetGlobals(reinterpret_cast<PyFrameObject*>(frame)));
        if (PyDict_CheckExact(globals.get())) {
            globals_version = utils::dict_version(globals.get()).value_or(0);
            if (globals_version != 0 && globals_version == texts->globals_version) {
                return &texts->qualname;
            }
            module_name = PyRef::borrow(PyDict_GetItemWithError(globals.get(), utils::interned().dunder_name));
            if (!module_name) {
                PyErr_Clear();  // Nothing kept for such globals; get_qualname reports what is wrong.
            } else if (module_name.get() == texts->module_name.get()) {
                texts->globals_version = globals_version;
                return &texts->qualname;
            }
        }
    }
    auto qualname = utils::get_qualname(frame);
    VESK_TRY(qualname);
    if (module_name) {
        texts->module_name = std::move(module_name);
        texts->qualname = std::move(*qualname);
        texts->globals_version = globals_version;
        return &texts->qualname;
    }
    fresh = std::move(*qualname);
    return &fresh;
}

}  // namespace

Result<size_t> frame_record_bound(const FrameRecordParts& parts) noexcept {
    // Each text's header at its longest: the bound is found with a few additions, and a record is
    // reserved at most a few bytes too much.
    constexpr size_t TEXTS = 6;  // path, co_name, qualname, thread name, the two frame ids
    constexpr size_t LONGEST_HEADER = 5;
    const size_t texts = parts.path.size() + parts.co_name.size() + (*parts.qualname ? (*parts.qualname)->size() : 0) +
                         parts.thread->name.size();
    if (texts > UINT32_MAX) {
        return utils::internal_error("Writing to memory, not I/O");  // no MessagePack header states it
    }
    return FIXED_BYTES + texts + 2 * FrameId::LENGTH + TEXTS * LONGEST_HEADER + parts.arg_bytes.size() +
           parts.locals_bytes.size() + 3 * utils::RecordCursor::NUMBER_SIZE;
}

utils::PyError no_memory_for_frame_record() noexcept {
    return utils::PyError::make(PyExc_MemoryError, "no memory left for a frame record");
}

// One pass, no call per piece.
char* write_frame_record(char* at, const FrameRecordParts& parts) noexcept {
    utils::RecordCursor out(at);
    out.literal(PATH_KEY);
    out.str(parts.path.kept, parts.path.line());
    out.literal(CO_NAME_KEY);
    out.str(parts.co_name);
    out.literal(QUALNAME_KEY);
    *parts.qualname ? out.str(**parts.qualname) : out.nil();
    out.literal(parts.event == Event::Call ? EVENT_CALL : parts.raised ? EVENT_UNWIND : EVENT_RETURN);
    out.literal(FRAME_ID_KEY);
    parts.frame_id ? out.str(parts.frame_id->view()) : out.nil();
    out.literal(ARG_KEY);
    out.literal(parts.arg_bytes);
    out.literal(LOCALS_KEY);
    out.literal(parts.locals_bytes);
    out.literal(THREAD_KEY);
    out.str(parts.thread->name);
    out.literal(NATIVE_ID_KEY);
    parts.thread->native_id ? out.uint(*parts.thread->native_id) : out.nil();
    out.literal(TIMESTAMP_KEY);
    out.f64(parts.timestamp);
    out.literal(TYPE_FRAME);
    out.literal(CALL_SITE_KEY);
    if (parts.call_site) {
        out.literal(CALL_FRAME_ID_KEY);
        out.str(parts.call_site->call_frame_id.view());
        out.literal(LINE_NUMBER_KEY);
        out.int32(parts.call_site->line_number);
    } else {
        out.nil();
    }
    return out.position();
}

Result<const utils::ThreadInfo*> Profiler::thread_info(ThreadState& thread) noexcept {
    if (!thread.info) {
        auto info = utils::current_thread();
        VESK_TRY(info);
        thread.info = std::move(*info);
    }
    return &*thread.info;
}

Status Profiler::gather_frame_record(PyObject* frame, Event event, EventArg arg, const EventCode& code,
                                     ThreadState& thread, FrameRecordParts& parts) {
    auto info = thread_info(thread);
    VESK_TRY(info);
    parts.thread = *info;
    RecordTexts* texts = code.facts != nullptr ? &code.facts->texts : nullptr;
    auto qualname = record_qualname(frame, texts, parts.fresh_qualname);
    VESK_TRY(qualname);
    parts.qualname = *qualname;
    parts.frame_id = frame_id_for(thread, frame, event);
    const bool suspending = event == Event::Return && !arg.raised &&
                            (arg.leaving == Leaving::Suspending ||
                             (arg.leaving == Leaving::Unknown &&
                              utils::suspending_at_yield(reinterpret_cast<PyFrameObject*>(frame), code.code.get())));
    auto call_site = utils::user_code_call_site(thread.call_frames, parts.frame_id ? &*parts.frame_id : nullptr);
    VESK_TRY(call_site);
    parts.call_site = *call_site;
    // Found once for both values: a lookup by name costs more than a call of a small serialiser.
    auto serializer = host_.get().serializer(config_.serializer());
    VESK_TRY(serializer);
    // An unwind holds its exception where the value of a return would be.
    PyRef exception;
    if (arg.raised && arg.exception != nullptr) {
        auto described = exception_description(arg.exception, line_of(frame, code.code.get(), texts));
        VESK_TRY(described);
        exception = std::move(*described);
    }
    PyObject* value = exception ? exception.get() : arg.value;
    auto values = serialize_frame(frame, code.code.get(), texts, value, *serializer, config_.serializer(), thread);
    VESK_TRY(values);
    parts.arg = std::move(values->arg);
    parts.locals = std::move(values->locals);
    parts.arg_bytes = parts.arg.view();
    parts.locals_bytes = parts.locals.view();
    // After the serialisers, which run Python code: the path borrows the code's kept text, which
    // another thread could replace meanwhile.
    auto path = record_path(frame, code, texts, thread.scratch_path);
    VESK_TRY(path);
    parts.path = *path;
    parts.co_name = code.name_text;
    parts.event = event;
    parts.raised = arg.raised;
    update_call_frames(thread, event, frame, parts.frame_id, suspending, texts, code.filename_text);
    const utils::ClockReading reading = utils::read_clock();
    thread.record_clock_ns = utils::nanoseconds_of(reading);
    auto now = utils::timestamp_from(reading);
    VESK_TRY(now);
    parts.timestamp = *now;
    return {};
}

// A generator's or coroutine's frame keeps one id from its first start to its end, so readers see one
// call resumed rather than a new call at each resumption.
std::optional<FrameId> Profiler::frame_id_for(const ThreadState& thread, PyObject* frame, Event event) const noexcept {
    if (event == Event::Call) {
        if (suspended_calls_.empty()) {
            return utils::new_frame_id();
        }
        auto suspended = suspended_calls_.find(frame);
        return suspended != suspended_calls_.end() ? suspended->second.id : utils::new_frame_id();
    }
    if (!thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame) {
        return thread.call_frames.back().id;
    }
    return std::nullopt;
}

// A call with an id opens an entry; a return closes the top entry only if it is its own frame, so a
// call that was not recorded cannot take its caller's entry with it.
void Profiler::update_call_frames(ThreadState& thread, Event event, PyObject* frame, const std::optional<FrameId>& id,
                                  bool suspending, const RecordTexts* texts, std::string_view filename) {
    std::vector<utils::CallFrame>& open = thread.call_frames;
    if (event == Event::Return) {
        if (!open.empty() && open.back().frame.get() == frame) {
            if (suspending) {
                suspended_calls_.insert_or_assign(frame, SuspendedCall{std::move(open.back().frame), open.back().id});
            }
            open.pop_back();
        }
        return;
    }
    if (!id) {
        return;
    }
    // Read by the record of this call, so they are the code's for good (or not kept at all).
    std::span<const int32_t> lines;
    if (texts != nullptr) {
        lines = texts->lines;
    }
    auto suspended = suspended_calls_.empty() ? suspended_calls_.end() : suspended_calls_.find(frame);
    if (suspended == suspended_calls_.end()) {
        open.push_back({PyRef::borrow(frame), *id, lines, filename});
        return;
    }
    open.push_back({std::move(suspended->second.frame), *id, lines, filename});
    suspended_calls_.erase(suspended);
}

void Profiler::forget_suspended_call(PyObject* frame) noexcept {
    // The frame is running, so the interpreter holds it too: letting go of ours frees nothing.
    suspended_calls_.erase(frame);
}

}  // namespace vesk::profiler
