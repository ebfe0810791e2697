// One profile event: plugins, the record decision, the default frame record, filing.
#include "profiler/profiler.hpp"

#include <algorithm>
#include <utility>

#include "profiler/code_cache.hpp"
#include "profiler/shutdown.hpp"
#include "utils/ids.hpp"
#include "utils/interned.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

Result<std::string_view> code_text(PyObject* value, const char* invariant) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (utf8 == nullptr) {
        return PyErr_Occurred() ? utils::internal_error(invariant, PyError::fetch()) : utils::internal_error(invariant);
    }
    return std::string_view(utf8, static_cast<size_t>(size));
}

// What the interpreter guarantees about frames and code objects is checked as an invariant, not
// handled as an error. The texts are read only for events that go past the cached verdict.
Status read_code_texts(EventCode& event_code) noexcept {
    auto filename = code_text(event_code.filename, "`co_filename` is always a string");
    VESK_TRY(filename);
    auto name = code_text(event_code.name, "`co_name` is always a string");
    VESK_TRY(name);
    event_code.filename_text = *filename;
    event_code.name_text = *name;
    return {};
}

EventCode event_code_of(PyObject* frame) noexcept {
    auto* code = PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame));
    return EventCode{PyRef::steal(reinterpret_cast<PyObject*>(code)), code->co_filename, code->co_name, {}, {},
                     kept_facts(reinterpret_cast<PyObject*>(code))};
}

// The frame record's bytes have been copied into the buffers: its allocation serves the thread's next
// record, so recording a frame allocates nothing in the steady state.
void keep_frame_record_buffer(Batch& batch, ThreadState& thread) noexcept {
    for (size_t i = 0; i < batch.types.size(); ++i) {
        if (batch.types[i] == "frame") {
            thread.spare_record = std::move(batch.records[i]);
            return;
        }
    }
}

// Deciding whether an event is recorded, counted as the recorder's own time on the thread. It is
// brief and much alike from event to event, and two clock reads would be most of what it costs when
// the answer is no (past a function's limit, most events): one decision in `TIMED_EVERY` is timed and
// each of the others counts at the average of those. What no clock read here can see (the callback's
// way in and out, the caches the recording disturbed) counts at the host's estimate per event.
class DecisionTime {
public:
    static constexpr uint32_t TIMED_EVERY = 64;
    static constexpr int64_t OUTLIER_FACTOR = 50;

    DecisionTime(ThreadState& thread, double untimed_ns, double untimed_ns_per_dropped) noexcept : thread_(thread) {
        const uint64_t dropped = std::exchange(dropped_frame_events, 0);
        thread.events += 1 + std::exchange(passed_events, 0) + dropped;
        thread.untimed_ns += untimed_ns + static_cast<double>(dropped) * untimed_ns_per_dropped;
        timed_ = thread.decisions_averaged == 0 || ++thread.decisions_since_timed >= TIMED_EVERY;
        if (timed_) {
            started_ns_ = utils::nanoseconds_of(utils::read_clock());
        }
    }
    DecisionTime(const DecisionTime&) = delete;
    DecisionTime& operator=(const DecisionTime&) = delete;
    ~DecisionTime() {
        if (!timed_) {
            thread_.recorder_ns += thread_.decision_average_ns;
            return;
        }
        const int64_t spent = utils::nanoseconds_of(utils::read_clock()) - started_ns_;
        thread_.recorder_ns += spent;
        thread_.decisions_since_timed = 0;
        // A decision that did first-time work (the thread's first: its first caller read, its first
        // code's counters) or was interrupted (the thread preempted, a page fault) can cost as much as
        // hundreds of others: it counts as itself, but an average holding it would count too much
        // for every other decision, most of all in a short recording.
        const bool first = thread_.decisions_timed++ == 0;
        if (first || (thread_.decisions_averaged > 0 && spent > OUTLIER_FACTOR * thread_.decision_average_ns)) {
            return;
        }
        thread_.decisions_ns += spent;
        thread_.decisions_averaged += 1;
        thread_.decision_average_ns = thread_.decisions_ns / thread_.decisions_averaged;
    }

private:
    ThreadState& thread_;
    bool timed_;
    int64_t started_ns_ = 0;
};

// An event's recording or handing to plugins, counted whole as the recorder's own time, with the
// host's estimate of what it costs beyond that.
class RecorderTime {
public:
    RecorderTime(ThreadState& thread, double untimed_ns) noexcept : thread_(thread) {
        thread.untimed_ns += untimed_ns;
        thread.event_started_ns = thread.record_clock_ns = utils::nanoseconds_of(utils::read_clock());
    }
    RecorderTime(const RecorderTime&) = delete;
    RecorderTime& operator=(const RecorderTime&) = delete;
    ~RecorderTime() { thread_.recorder_ns += utils::nanoseconds_of(utils::read_clock()) - thread_.event_started_ns; }

private:
    ThreadState& thread_;
};

// Not recording failures, so handed to the program through the profile callback instead of being
// reported. A signal's handler runs in whatever Python code is running, the serialiser and plugins
// included; swallowing the KeyboardInterrupt or SystemExit it raised would make the program ignore
// Ctrl-C or a request to exit.
bool reaches_the_program(const PyError& error) noexcept {
    return error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit);
}

}  // namespace

Result<CodeVerdict> Profiler::decide_verdict(EventCode& code) noexcept {
    VESK_TRY(read_code_texts(code));
    // The table's names and processor lists never change after construction.
    plugins::PluginTable& table = plugins_;
    CodeVerdict verdict{serial_, filters::filename_verdict(config_.filters, code.filename_text),
                        table.empty() ? nullptr : table.find(code.name_text), code.filename_text, code.name_text};
    code.facts = cache_verdict(code.code.get(), verdict);
    return verdict;
}

Result<bool> Profiler::drops_every_event(PyObject* code) noexcept {
    const CodeVerdict* cached = cached_verdict(kept_facts(code), serial_);
    std::optional<CodeVerdict> decided;
    if (cached == nullptr) {
        auto* code_object = reinterpret_cast<PyCodeObject*>(code);
        EventCode event_code{PyRef::borrow(code), code_object->co_filename, code_object->co_name, {}, {}};
        auto found = decide_verdict(event_code);
        VESK_TRY(found);
        decided = *found;
        cached = &*decided;
    }
    return cached->filename == filters::FilenameVerdict::Drop && cached->processors == nullptr;
}

std::string Profiler::drop_key() const {
    std::string key;
    auto add = [&](char kind, std::string_view text) {
        key += kind;
        key += text;
        key += '\0';
    };
    for (const filters::Finder& finder : config_.filters.include) {
        add('+', finder.needle());
    }
    for (const filters::Finder& finder : config_.filters.ignore) {
        add('-', finder.needle());
    }
    std::vector<std::string_view> names;
    for (const auto& [name, processors] : plugins_.entries()) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (std::string_view name : names) {
        add('p', name);
    }
    return key;
}

Status Profiler::profile(PyObject* owner, PyObject* frame, Event event, EventArg arg) noexcept {
    if (!Py_IS_TYPE(frame, &PyFrame_Type)) {
        return utils::internal_error("Python gives us a PyFrame");
    }
    EventCode code = event_code_of(frame);
    const CodeVerdict* cached = cached_verdict(code.facts, serial_);
    if (cached != nullptr && cached->filename == filters::FilenameVerdict::Drop && cached->processors == nullptr) {
        dropped_frame_events += 1;
        return {};  // the common case: a frame of library code, dropped at the cost of a slot read
    }
    std::optional<CodeVerdict> decided;
    if (cached == nullptr) {
        auto found = decide_verdict(code);
        VESK_TRY(found);
        cached = &decided.emplace(*found);
    }
    // Read now: the code object's verdict may be another profiler's once Python code has run.
    const filters::FilenameVerdict filename = cached->filename;
    std::vector<plugins::PluginProcessor>* const processors = cached->processors;
    if (filename == filters::FilenameVerdict::Drop && processors == nullptr) {
        dropped_frame_events += 1;
        return {};  // a dropped frame: no lock, no allocation, no Python code
    }
    code.filename_text = cached->filename_text;
    code.name_text = cached->name_text;
    // Finding the thread's store may release finished threads' frames, and reading the callers for the
    // attrs test allocates frame objects: either may run the garbage collector and with it finalizers,
    // so nothing may free this profiler meanwhile.
    PyRef keep_owner = PyRef::borrow(owner);
    ThreadState& thread = threads_.current();
    bool record = false;
    {
        DecisionTime decision_time(thread, config_.untimed_ns_per_event, config_.untimed_ns_per_dropped);
        if (filename != filters::FilenameVerdict::Drop) {
            auto wanted = wants_record(frame, event, arg, code, filename, thread);
            VESK_TRY(wanted);
            record = *wanted;
        }
        if (!record && event == Event::Call && !suspended_calls_.empty()) {
            forget_suspended_call(frame);
        }
    }
    if (!record && processors == nullptr) {
        return {};
    }
    RecorderTime recorder_time(thread, config_.untimed_ns_per_record);
    return handle_event(owner, frame, event, arg, code, record, processors, thread);
}

Result<bool> Profiler::wants_record(PyObject* frame, Event event, const EventArg& arg, const EventCode& code,
                                    filters::FilenameVerdict filename, ThreadState& thread) noexcept {
    if (thread.left_out_call || frames_stopped_.load(std::memory_order_relaxed)) {
        // Inside what volume control leaves out nothing else needs asking, not even the attrs test.
        return admit(frame, event, arg, code, thread) == Admission::Record;
    }
    if (filename == filters::FilenameVerdict::CallerDecides) {
        const std::vector<utils::CallFrame>& open_calls = thread.call_frames;
        // The return of a recorded call needs no attrs test: its caller was judged at the call.
        if (event == Event::Call || open_calls.empty() || open_calls.back().frame.get() != frame) {
            const filters::KnownFrame last_recorded =
                open_calls.empty() ? filters::KnownFrame{}
                                   : filters::KnownFrame{open_calls.back().frame.get(), open_calls.back().filename};
            auto made_by_attrs = filters::attrs_filter(frame, code.filename_text, last_recorded);
            VESK_TRY(made_by_attrs);
            if (*made_by_attrs) {
                return false;
            }
        }
    }
    return admit(frame, event, arg, code, thread) == Admission::Record;
}

Status Profiler::handle_event(PyObject* owner, PyObject* frame, Event event, EventArg arg, const EventCode& code,
                              bool record, std::vector<plugins::PluginProcessor>* processors,
                              ThreadState& thread) noexcept {
    // From here on Python code runs, which may drop the interpreter's own references to these.
    PyRef keep_owner = PyRef::borrow(owner);
    PyRef keep_frame = PyRef::borrow(frame);
    PyRef keep_arg = PyRef::borrow(arg.value);
    auto in_flight = EventInFlight::enter();
    if (!in_flight) {
        return {};
    }
    // No engine lock is held while an event runs Python code (plugin callables, the serialiser,
    // logging handlers, the host's storage function): that code may wait for another profiled thread
    // (a lock taken in a __repr__, a busy database), which would in turn wait for the engine's lock,
    // a deadlock no lock order prevents; a forked child would also inherit the lock held for good.
    // What events share is changed only by native code that runs no Python code meanwhile, under the
    // interpreter lock (the plugins' frame-id maps; the buffers, under their own locks), and each
    // thread keeps its own stores.
    if (processors == nullptr) {
        return record_alone(frame, event, arg, code, thread);
    }
    Batch batch;
    if (auto ran = run_plugins(frame, event, arg.value, code, *processors, thread, batch); !ran) {
        return ran;
    }
    if (record) {
        auto recorded = frame_record(frame, event, arg, code, thread);
        if (!recorded) {
            // A frame whose record failed stores nothing of its event.
            return report_failure(std::move(recorded.error()), frame, event, code);
        }
        batch.records.push_back(std::move(*recorded));
        batch.types.emplace_back("frame");
    }
    auto pushed = push_frames(event, batch, thread);
    keep_frame_record_buffer(batch, thread);
    if (!pushed) {
        return report_failure(std::move(pushed.error()), frame, event, code);
    }
    return {};
}

Status Profiler::record_alone(PyObject* frame, Event event, EventArg arg, const EventCode& code,
                              ThreadState& thread) noexcept {
    FrameRecordParts parts;
    Status filed = gathered_frame_record(frame, event, arg, code, thread, parts);
    if (filed) {
        filed = file_frame_record(parts, thread);
    }
    if (!filed) {
        return report_failure(std::move(filed.error()), frame, event, code);
    }
    return {};
}

Status Profiler::report_failure(PyError error, PyObject* frame, Event event, const EventCode& code) noexcept {
    if (reaches_the_program(error)) {
        return error;
    }
    if (error.matches(PyExc_Exception) && !error.matches(PyExc_MemoryError)) {
        return log_error(std::move(error), frame, event, code);
    }
    // Trouble of the recorder itself (a broken invariant, memory running out) costs the event, never
    // the program: a long test run must not end in an internal error. Said once, then only counted.
    totals_.lock()->failed_events += 1;
    if (std::exchange(trouble_reported_.get(), true)) {
        return {};
    }
    return log_error(std::move(error), frame, event, code);
}

Status Profiler::run_plugins(PyObject* frame, Event event, PyObject* arg, const EventCode& code,
                             std::vector<plugins::PluginProcessor>& processors, ThreadState& thread,
                             Batch& batch) noexcept {
    for (auto& processor : processors) {
        plugins::PluginEvent plugin_event{
            frame, event, arg, code.filename_text, thread.call_frames, config_.serializer(), host_.get()};
        auto produced = plugins::run_processor(processor, plugin_event);
        if (!produced) {
            if (auto reported = report_failure(std::move(produced.error()), frame, event, code); !reported) {
                return reported;
            }
        } else if (*produced) {
            batch.records.push_back(std::move((*produced)->bytes));
            batch.types.push_back(std::move((*produced)->type));
        }
    }
    return {};
}

Status Profiler::gathered_frame_record(PyObject* frame, Event event, EventArg arg, const EventCode& code,
                                       ThreadState& thread, FrameRecordParts& parts) noexcept {
    try {
        return gather_frame_record(frame, event, arg, code, thread, parts);
    } catch (const std::bad_alloc&) {
        return no_memory_for_frame_record();
    }
}

Result<utils::Record> Profiler::frame_record(PyObject* frame, Event event, EventArg arg, const EventCode& code,
                                             ThreadState& thread) noexcept {
    FrameRecordParts parts;
    VESK_TRY(gathered_frame_record(frame, event, arg, code, thread, parts));
    auto bound = frame_record_bound(parts);
    VESK_TRY(bound);
    utils::Record record = std::move(thread.spare_record);
    try {
        record.clear();
        record.mark_written_to(write_frame_record(record.tail(*bound), parts));
    } catch (const std::bad_alloc&) {
        return no_memory_for_frame_record();
    }
    return record;
}

}  // namespace vesk::profiler
