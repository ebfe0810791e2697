// The native profiler: configuration read once from the host's profiler object, the plugin table,
// the trace being recorded and the per-thread bookkeeping of the event handler.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/decision.hpp"
#include "host/host.hpp"
#include "plugins/processor.hpp"
#include "profiler/code_cache.hpp"
#include "profiler/frame_record.hpp"
#include "profiler/thread_stores.hpp"
#include "serialize/bridge.hpp"
#include "utils/bytes.hpp"
#include "utils/compat.hpp"
#include "utils/event.hpp"
#include "utils/locks.hpp"
#include "utils/record_log.hpp"
#include "utils/result.hpp"

namespace vesk::profiler {

// What keeps a recording bounded. All absent (the host's configuration has no "limits" table): the
// buffers grow until the host saves, and every call is recorded.
struct Limits {
    // Past this many buffered bytes the records go to storage as one more document of the trace.
    std::optional<uint64_t> buffer_bytes;
    // Each function's first calls per trace are recorded; later ones are counted, with their subtree.
    std::optional<uint64_t> calls_per_function;
    // Past this many bytes filed in one trace, frame recording stops (plugin records go on).
    std::optional<uint64_t> trace_bytes;

    // While storage fails, records are kept up to this bound, then dropped and counted.
    [[nodiscard]] std::optional<uint64_t> hard_buffer_bytes() const noexcept {
        if (!buffer_bytes) {
            return std::nullopt;
        }
        return *buffer_bytes * HARD_BOUND_FACTOR;
    }

    // Room for a few failed hand-overs before anything is lost.
    static constexpr uint64_t HARD_BOUND_FACTOR = 8;
};

// Everything read from the host object, as plain native values: nothing on the per-event path
// touches the host's configuration objects again.
struct Config {
    filters::FrameFilters filters;
    std::optional<uint64_t> main_thread_id;
    uint64_t sqlite_busy_timeout = 60;
    bool threading = false;
    bool lightweight_repr = false;
    bool recorder_time = false;  // documents say the recorder's own time per record ("recorder_time")
    // What the recorder costs beyond the work it times, as the host measured it on this machine:
    // on each event it decides on ("recorder_time_per_event_ns") and, on top, on each event it
    // records ("recorder_time_per_record_ns"), and on each call or return of library code it lets
    // pass ("recorder_time_per_dropped_ns"). Counted into the recorder's time.
    double untimed_ns_per_event = 0;
    double untimed_ns_per_record = 0;
    double untimed_ns_per_dropped = 0;
    std::string db_path;
    bool one_trace_per_test = false;
    std::string source;
    double start_timestamp = 0.0;
    Limits limits;

    [[nodiscard]] serialize::Serializer serializer() const noexcept {
        return lightweight_repr ? serialize::Serializer::LightweightRepr : serialize::Serializer::Full;
    }
};

// How a return leaves its frame, where the event itself says so: sys.monitoring tells a yield from
// a final return, a profile function does not (the frame is asked then, if it is recorded).
enum class Leaving : uint8_t { Unknown, Finishing, Suspending };

// What the interpreter passed with an event: the returned value (None for a call), whether the
// return is one an exception caused, and that exception where known (borrowed): sys.monitoring hands
// it over; a profile function is not told it (on 3.11 the recorder finds it at the next event).
struct EventArg {
    PyObject* value;
    bool raised;
    Leaving leaving = Leaving::Unknown;
    PyObject* exception = nullptr;
};

// A recorded generator or coroutine call suspended at a yield: its next resumption is recorded under
// the same id.
struct SuspendedCall {
    utils::PyRef frame;
    utils::FrameId id;
};

// The records and type texts one event produced: plugin records first, the frame record last.
struct Batch {
    std::vector<utils::Record> records;
    std::vector<std::string> types;
};

using ThreadBuffers = std::unordered_map<uint64_t, utils::RecordLog>;

// The records a trace build took out of the buffers.
struct TakenRecords {
    utils::RecordLog frames_of_interest;
    ThreadBuffers frames;
    uint64_t bytes = 0;
};

// What the current trace has filed, kept and lost; reset when a test starts a new trace.
struct TraceAccounting {
    uint64_t buffered_bytes = 0;              // in the buffers now
    uint64_t filed_bytes = 0;                 // filed into this trace so far, saved or not
    uint64_t retry_after_bytes = 0;           // after a failed hand-over, try again once this much more has come
    bool saving = false;                      // a document of this profiler is being handed to storage
    bool storage_failed = false;              // the last streamed hand-over failed (reported once)
    bool in_test = false;                     // one trace per test: between a "start_test" and its "end_test"
    uint64_t unreported_dropped_records = 0;  // not yet said in a document
    uint64_t unreported_dropped_bytes = 0;
};

// The records saying what a document's stretch of the trace left out, and the counts they hold: the
// counts are taken off only once the document is stored, so a failed hand-over loses none of them.
struct AccountingRecords {
    utils::RecordLog records;
    struct Function {
        utils::PyRef code;
        uint64_t left_out;  // calls said, by calls_per_function
        uint64_t stopped;   // and by trace_bytes
        uint64_t recorded;  // calls recorded in the trace so far
    };
    std::vector<Function> left_out;
    uint64_t generation = 0;  // of the trace the counts belong to
    uint64_t dropped_records = 0;
    uint64_t dropped_bytes = 0;
};

// Totals over the profiler's life, for the host to report when recording ends.
struct RecordingTotals {
    uint64_t documents = 0;        // handed to storage
    uint64_t dropped_records = 0;  // lost because storage kept failing, or memory ran out
    uint64_t left_out_calls = 0;   // counted, not recorded, past calls_per_function
    uint64_t stopped_calls = 0;    // counted, not recorded, once a trace reached trace_bytes
    uint64_t stopped_traces = 0;   // traces that reached their byte limit
    uint64_t failed_events = 0;    // events dropped for an internal error
};

class Profiler {
public:
    Profiler(Config config, host::Host host, plugins::PluginTable plugins, std::string trace_id);
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;

    [[nodiscard]] const Config& config() const noexcept { return config_; }

    // CAUTION: runs Python code. The profile callback's way in (boundary.cpp), for one call or return
    // of a profiled thread: 0, whatever the recorder met (its failures are reported, the event or the
    // failing plugin's part of it dropped); -1 with the exception set only for the program's own
    // KeyboardInterrupt or SystemExit, raised by a signal handler while the event ran Python code.
    // `owner` is the VeskProfiler object holding this profiler; all three objects are borrowed.
    [[nodiscard]] int deliver(PyObject* owner, PyObject* frame, utils::Event event, EventArg arg) noexcept;
    // `deliver`'s error boundary around any handler: what `body(context)` returns or throws, settled
    // as `deliver` says. Taking the handler as a pointer lets the test module put failures through it.
    [[nodiscard]] int settle(PyObject* owner, PyObject* frame, utils::Event event, utils::Status (*body)(void* context),
                             void* context) noexcept;

    // 3.11 (a profile function is not told which exception leaves a frame). Whether the unwind of
    // `frame` waits for the thread's next event, through a one-event trace function, which names its
    // exception (the caller's exception event) and then delivers it: only for a recorded call, and
    // only on a thread without a trace function of its own.
    [[nodiscard]] bool defer_unwind(PyObject* owner, PyObject* frame) noexcept;
    // A recorded generator resumed by a throw(): the next event names what was thrown, which its
    // unwind takes where no caller sees the exception (close()).
    void watch_throw(PyObject* owner, PyObject* frame) noexcept {
        if (!suspended_calls_.empty()) {
            watch_suspended_throw(owner, frame);
        }
    }
    // A return by value ends what a throw() into the frame told.
    void forget_thrown(PyObject* frame) noexcept;
    [[nodiscard]] bool holds_thrown() const noexcept { return threads_holding_thrown_ != 0; }
    // The one-event trace function's event: `exception` is what it was told of (null for an event
    // of another kind). Delivers the unwind that waited for it.
    [[nodiscard]] int exception_seen(PyObject* owner, PyObject* exception) noexcept;

    // Requires the interpreter lock, before the first event. The interpreter's cost of handing over
    // one event (see calibration.hpp), counted into the recorder's time.
    void set_event_delivery_ns(double nanoseconds) noexcept { event_delivery_ns_ = nanoseconds; }

    // Whether no event of `code` is recorded or seen by a plugin, so it need not be reported at all.
    [[nodiscard]] utils::Result<bool> drops_every_event(PyObject* code) noexcept;
    // What decides which code drops every event (the filters, the plugins' function names), as text:
    // profilers with the same key drop the same code.
    [[nodiscard]] std::string drop_key() const;

    // CAUTION: runs Python code (vesk.version, vesk.git, sys.argv). The trace document, emptying both
    // buffers.
    [[nodiscard]] utils::Result<utils::PyRef> build_trace() noexcept;
    // CAUTION: runs Python code (the host's storage function). Builds the document and hands it to the
    // host; if the host fails, the records go back into the buffers for the next build.
    [[nodiscard]] utils::Status save_in_db() noexcept;

    // Requires the interpreter lock. In a process just forked from the recorded one: recording goes
    // on under `trace_id`, a trace of the child's own, without the parent's buffered records (the
    // parent saves those), its other threads or its totals.
    void start_forked_trace(std::string trace_id) noexcept;

    // Requires the interpreter lock. The totals, as a dict for the host.
    [[nodiscard]] utils::Result<utils::PyRef> recording_totals() noexcept;

    // Garbage-collector support: every Python object the profiler holds.
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    // The boundary `deliver` and `settle` share (boundary.cpp); what failed is settled out of line.
    void watch_suspended_throw(PyObject* owner, PyObject* frame) noexcept;
    template <class Body>
    [[nodiscard]] int settled(PyObject* owner, PyObject* frame, utils::Event event, Body&& body) noexcept;
    [[gnu::cold]] int settle_failure(PyObject* owner, PyObject* frame, utils::Event event,
                                     utils::PyError error) noexcept;
    // The parts of one event, in the order the handler runs them. Ordinary failures are reported on
    // the way; what comes back is for `deliver` to settle.
    [[nodiscard]] utils::Status profile(PyObject* owner, PyObject* frame, utils::Event event, EventArg arg) noexcept;
    // On a code object's first event: what its filename and name say, kept on the code object.
    [[nodiscard]] utils::Result<CodeVerdict> decide_verdict(EventCode& code) noexcept;
    // Whether a frame the filename does not drop gets a record: the attrs test where the filename
    // leaves it open, then volume control (which counts what it leaves out).
    [[nodiscard]] utils::Result<bool> wants_record(PyObject* frame, utils::Event event, const EventArg& arg,
                                                   const EventCode& code, filters::FilenameVerdict filename,
                                                   ThreadState& thread) noexcept;
    [[nodiscard]] utils::Status handle_event(PyObject* owner, PyObject* frame, utils::Event event, EventArg arg,
                                             const EventCode& code, bool record,
                                             std::vector<plugins::PluginProcessor>* processors,
                                             ThreadState& thread) noexcept;
    [[nodiscard]] utils::Status record_alone(PyObject* frame, utils::Event event, EventArg arg, const EventCode& code,
                                             ThreadState& thread) noexcept;
    [[nodiscard]] utils::Status run_plugins(PyObject* frame, utils::Event event, PyObject* arg, const EventCode& code,
                                            std::vector<plugins::PluginProcessor>& processors, ThreadState& thread,
                                            Batch& batch) noexcept;
    // The default frame record in the thread's reusable buffer (taken out of it), for a batch.
    [[nodiscard]] utils::Result<utils::Record> frame_record(PyObject* frame, utils::Event event, EventArg arg,
                                                            const EventCode& code, ThreadState& thread) noexcept;
    // CAUTION: runs Python code (the serialiser). What the frame record holds, into `parts`.
    [[nodiscard]] utils::Status gathered_frame_record(PyObject* frame, utils::Event event, EventArg arg,
                                                      const EventCode& code, ThreadState& thread,
                                                      FrameRecordParts& parts) noexcept;
    // May throw std::bad_alloc.
    [[nodiscard]] utils::Status gather_frame_record(PyObject* frame, utils::Event event, EventArg arg,
                                                    const EventCode& code, ThreadState& thread,
                                                    FrameRecordParts& parts);
    // Logs an ordinary failure; the recorder's own trouble (a broken invariant, memory running out) is
    // logged once per profiler and then only counted. KeyboardInterrupt and SystemExit come back: they
    // belong to the program.
    [[nodiscard]] utils::Status report_failure(utils::PyError error, PyObject* frame, utils::Event event,
                                               const EventCode& code) noexcept;
    // Comes back with an error only when the reporting itself was interrupted (KeyboardInterrupt,
    // SystemExit): that belongs to the program.
    [[nodiscard]] utils::Status log_error(utils::PyError error, PyObject* frame, utils::Event event,
                                          const EventCode& code) noexcept;

    // Volume control (volume.cpp): which recorded-code events get a frame record.
    enum class Admission { Record, LeaveOut };
    // With no generator or coroutine suspended anywhere (the usual case) an event inside a left-out
    // subtree only counts a call or closes the subtree, and any other only counts a recorded call:
    // decided here without a call. The rest, and a call that reaches its limit, take the full way.
    [[nodiscard]] Admission admit(PyObject* frame, utils::Event event, const EventArg& arg, const EventCode& code,
                                  ThreadState& thread) noexcept {
        if (!left_out_suspended_.empty() || !suspended_calls_.empty()) {
            return admit_in_full(frame, event, arg, code, thread);
        }
        if (thread.left_out_call) {
            if (event == utils::Event::Call) {
                count_left_out(code, LeftOutBy::CallsPerFunction);
            } else if (utils::may_suspend(code.code.get())) {
                return admit_in_full(frame, event, arg, code, thread);  // its yield keeps it left out
            } else if (thread.left_out_call.get() == frame) {
                thread.left_out_call = utils::PyRef();
            }
            return Admission::LeaveOut;
        }
        if (frames_stopped_.load(std::memory_order_relaxed)) {
            return admit_in_full(frame, event, arg, code, thread);
        }
        const std::optional<uint64_t>& cap = config_.limits.calls_per_function;
        if (event != utils::Event::Call || !cap) {
            return Admission::Record;
        }
        CallCounts* counts = call_counts(code.facts, serial_, trace_generation_.load(std::memory_order_relaxed));
        if (counts == nullptr) {
            return Admission::Record;  // nothing can be counted for this code: recorded as without limits
        }
        if (counts->recorded < *cap) {
            ++counts->recorded;
            return Admission::Record;
        }
        return admit_in_full(frame, event, arg, code, thread);
    }
    [[nodiscard]] Admission admit_in_full(PyObject* frame, utils::Event event, const EventArg& arg,
                                          const EventCode& code, ThreadState& thread) noexcept;
    enum class LeftOutBy { CallsPerFunction, TraceBytes };
    void count_left_out(const EventCode& code, LeftOutBy by) noexcept {
        CallCounts* counts = call_counts(code.facts, serial_, trace_generation_.load(std::memory_order_relaxed));
        if (counts == nullptr) {
            return;
        }
        if (counts->left_out == 0 && counts->stopped == 0) {
            list_left_out(code, *counts, by);
            return;
        }
        ++(by == LeftOutBy::CallsPerFunction ? counts->left_out : counts->stopped);
    }
    // A code's first call left out since the last document: counted, and the code listed for it.
    [[gnu::cold]] void list_left_out(const EventCode& code, CallCounts& counts, LeftOutBy by) noexcept;
    // Whether a call event is the resumption of a generator or coroutine call already counted
    // (recorded, or left out and suspended since): it belongs to that one call.
    [[nodiscard]] bool resumes_counted_call(PyObject* frame) const noexcept;
    void forget_left_out_calls() noexcept;
    [[nodiscard]] AccountingRecords accounting_records() noexcept;
    // What was thrown into the thread's frame, taken out (null where nothing is kept).
    [[nodiscard]] utils::PyRef take_thrown(ThreadState& thread) noexcept;
    // Takes the counts a stored document said off the pending ones.
    void settle(AccountingRecords& said) noexcept;
    [[nodiscard]] utils::Status file_stop_marker(ThreadState& thread) noexcept;

    // Streaming (buffers.cpp): hands the buffers to storage once they pass the bound.
    [[nodiscard]] utils::Status stream_if_full() noexcept;
    void discard_buffers() noexcept;
    [[nodiscard]] utils::Status save_document() noexcept;

    // Filing batches into the shared buffers.
    [[nodiscard]] utils::Status push_frames(utils::Event event, Batch& batch, ThreadState& thread) noexcept;
    // What filing some records calls for afterwards, from one look at the accounting.
    struct Filed {
        bool stop_marker_due = false;  // the trace just reached its byte limit
        bool stream_due = false;       // the buffers passed their bound
        Filed& operator|=(const Filed& other) noexcept {
            stop_marker_due |= other.stop_marker_due;
            stream_due |= other.stream_due;
            return *this;
        }
    };
    Filed push_frame_data(std::optional<uint64_t> thread_id, std::span<const utils::Record> records,
                          double recorder_seconds) noexcept;
    // Records of `bytes` about to be filed; past the hard bound they are counted as dropped instead.
    [[nodiscard]] std::pair<bool, Filed> account_for_filing(size_t records, uint64_t bytes) noexcept;
    [[nodiscard]] utils::Status after_filing(Filed filed, ThreadState& thread) noexcept;
    // The common event: one frame record and no plugin record, written straight into the shared buffers.
    [[nodiscard]] utils::Status file_frame_record(const FrameRecordParts& parts, ThreadState& thread) noexcept;
    // Under the buffer's lock: the record written in place, then accounted for and kept, or left out.
    [[nodiscard]] Filed write_into(utils::RecordLog& log, const FrameRecordParts& parts, size_t bound,
                                   double recorder_seconds);
    // `use` of the buffer a thread's records go to (the main one, frames_of_interest, or the thread's
    // own), under its lock. May throw std::bad_alloc.
    template <class Use>
    decltype(auto) with_buffer_of(std::optional<uint64_t> thread_id, Use&& use) {
        if (!thread_id || !config_.threading || config_.main_thread_id == thread_id) {
            return use(*frames_of_interest_.lock());
        }
        return use((*frames_.lock())[*thread_id]);
    }
    void count_dropped(size_t records, uint64_t bytes) noexcept;
    void start_new_test_trace();
    // Recording goes on under `trace_id` with empty buffers, fresh accounting and call counts.
    void switch_trace(std::string trace_id, bool in_test, bool saving) noexcept;
    [[nodiscard]] utils::Result<const utils::ThreadInfo*> thread_info(ThreadState& thread) noexcept;

    // Frame ids (record.cpp): a call gets a new id, or the one its suspension left; its return finds
    // it on the thread's stack of recorded calls.
    [[nodiscard]] std::optional<utils::FrameId> frame_id_for(const ThreadState& thread, PyObject* frame,
                                                             utils::Event event) const noexcept;
    void update_call_frames(ThreadState& thread, utils::Event event, PyObject* frame,
                            const std::optional<utils::FrameId>& id, bool suspending, const RecordTexts* texts,
                            std::string_view filename);
    // A resumption that is not recorded ends what the readers can follow of that call.
    void forget_suspended_call(PyObject* frame) noexcept;

    // Trace documents.
    [[nodiscard]] TakenRecords take_records() noexcept;
    void put_back(TakenRecords taken);
    [[nodiscard]] std::string current_trace_id();

    const uint64_t serial_;  // tells this profiler's verdicts on code objects from other profilers'
    const Config config_;
    plugins::PluginTable plugins_;  // afterwards only its frame-id maps change (interpreter lock)
    utils::Guarded<std::string> trace_id_;
    utils::Guarded<utils::RecordLog> frames_of_interest_;
    utils::Guarded<ThreadBuffers> frames_;
    ThreadStores threads_;  // each thread touches only its own entry; see thread_stores.hpp
    utils::InterpreterGuarded<host::Host> host_;
    utils::Guarded<TraceAccounting> accounting_;
    utils::Guarded<RecordingTotals> totals_;
    std::atomic<bool> frames_stopped_{false};    // the trace reached its byte limit
    std::atomic<uint64_t> trace_generation_{1};  // renewed with each test's trace: call counts restart
    // Code objects with calls left out since the last document (never released while an engine lock
    // is held: releasing one may run Python code).
    utils::InterpreterGuarded<std::vector<utils::PyRef>> left_out_codes_;
    // Recorded generator and coroutine calls now suspended, by frame (interpreter lock; a generator
    // may be resumed on another thread).
    std::unordered_map<PyObject*, SuspendedCall> suspended_calls_;
    // Generator and coroutine calls left out by volume control now suspended, by frame, with the
    // trace generation that counted them (interpreter lock): their resumptions are left out uncounted.
    std::unordered_map<PyObject*, std::pair<utils::PyRef, uint64_t>> left_out_suspended_;
    utils::InterpreterGuarded<bool> trouble_reported_{false};
    uint32_t threads_holding_thrown_ = 0;  // that keep what was thrown into a frame (interpreter lock)
    double event_delivery_ns_ = 0;
};

// CAUTION: runs Python code (the host's plugin loader and context builders). Builds a profiler
// from the host profiler object.
[[nodiscard]] utils::Result<std::unique_ptr<Profiler>> new_from_python(PyObject* host) noexcept;

}  // namespace vesk::profiler
