// Volume control: a trace keeps what a person can use. Each function's first calls of a trace are
// recorded in full; later calls are counted and left out with their whole subtree, so every recorded
// call's caller is recorded too. Past the trace's byte limit frame recording stops altogether, with
// a marker. The counts go into the trace as "calls_left_out" records, one per document.
#include "profiler/profiler.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "utils/compat.hpp"
#include "utils/interned.hpp"
#include "utils/msgpack_writer.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::PyRef;
using utils::Status;

namespace {

bool suspending(PyObject* frame, PyObject* code, const EventArg& arg) noexcept {
    if (arg.raised || arg.leaving == Leaving::Finishing) {
        return false;
    }
    return arg.leaving == Leaving::Suspending ||
           utils::suspending_at_yield(reinterpret_cast<PyFrameObject*>(frame), code);
}

}  // namespace

Profiler::Admission Profiler::admit_in_full(PyObject* frame, Event event, const EventArg& arg,
                                            const EventCode& event_code, ThreadState& thread) noexcept {
    if (thread.left_out_call) {
        // Inside a left-out subtree: only its own return (or yield) ends it. A generator or coroutine
        // suspended in it stays left out, uncounted, when it is resumed.
        if (event == Event::Call) {
            const bool resumed = !left_out_suspended_.empty() && left_out_suspended_.erase(frame) != 0;
            if (!resumed && !(!suspended_calls_.empty() && suspended_calls_.contains(frame))) {
                count_left_out(event_code, LeftOutBy::CallsPerFunction);
            }
            return Admission::LeaveOut;
        }
        if (suspending(frame, event_code.code.get(), arg)) {
            try {
                left_out_suspended_.insert_or_assign(
                    frame, std::pair{PyRef::borrow(frame), trace_generation_.load(std::memory_order_relaxed)});
            } catch (const std::bad_alloc&) {
                // Its resumptions then count as calls of their own, as they would without this.
            }
        }
        if (thread.left_out_call.get() == frame) {
            thread.left_out_call = PyRef();
        }
        return Admission::LeaveOut;
    }
    if (frames_stopped_.load(std::memory_order_relaxed)) {
        // Returns of calls recorded before the stop still close them.
        bool closes_recorded_call = event == Event::Return && !thread.call_frames.empty() &&
                                    thread.call_frames.back().frame.get() == frame;
        if (event == Event::Call && !resumes_counted_call(frame)) {
            count_left_out(event_code, LeftOutBy::TraceBytes);
        }
        return closes_recorded_call ? Admission::Record : Admission::LeaveOut;
    }
    const std::optional<uint64_t> cap = config_.limits.calls_per_function;
    if (event != Event::Call || !cap) {
        return Admission::Record;
    }
    if (!suspended_calls_.empty() && suspended_calls_.contains(frame)) {
        return Admission::Record;  // a recorded call resumed: counted at its start
    }
    if (!left_out_suspended_.empty()) {
        if (auto left_out = left_out_suspended_.find(frame); left_out != left_out_suspended_.end()) {
            const bool same_trace = left_out->second.second == trace_generation_.load(std::memory_order_relaxed);
            thread.left_out_call = std::move(left_out->second.first);
            left_out_suspended_.erase(left_out);
            if (same_trace) {
                return Admission::LeaveOut;  // a left-out call resumed: its subtree stays left out
            }
            thread.left_out_call = PyRef();
        }
    }
    CallCounts* counts = call_counts(event_code.facts, serial_, trace_generation_.load(std::memory_order_relaxed));
    if (counts == nullptr) {
        return Admission::Record;  // nothing can be counted for this code: recorded as without limits
    }
    if (counts->recorded < *cap) {
        ++counts->recorded;
        return Admission::Record;
    }
    thread.left_out_call = PyRef::borrow(frame);
    count_left_out(event_code, LeftOutBy::CallsPerFunction);
    return Admission::LeaveOut;
}

bool Profiler::resumes_counted_call(PyObject* frame) const noexcept {
    return (!suspended_calls_.empty() && suspended_calls_.contains(frame)) ||
           (!left_out_suspended_.empty() && left_out_suspended_.contains(frame));
}

void Profiler::list_left_out(const EventCode& event_code, CallCounts& counts, LeftOutBy by) noexcept {
    uint64_t& count = by == LeftOutBy::CallsPerFunction ? counts.left_out : counts.stopped;
    ++count;
    try {
        left_out_codes_.get().push_back(PyRef::borrow(event_code.code.get()));
    } catch (const std::bad_alloc&) {
        count = 0;  // not listed, so not reported: better than a count that never shows
    }
}

void Profiler::forget_left_out_calls() noexcept {
    // The codes are released after the list is emptied: releasing one may run Python code.
    std::vector<PyRef> codes = std::exchange(left_out_codes_.get(), {});
    trace_generation_.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// Texts of a code object for the "calls_left_out" record; a text that cannot be read is left empty
// rather than losing the count.
std::string_view code_text(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = text != nullptr && PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();  // see above
        return {};
    }
    return {utf8, static_cast<size_t>(size)};
}

// "<path>:<first line>", the path as frame records show it.
std::string function_path(PyCodeObject* code) noexcept {
    std::string path;
    try {
        auto relative = utils::relative_path(code->co_filename);
        if (relative) {
            path = std::move(*relative);
        } else {
            path = code_text(code->co_filename);  // the working directory is gone: the full filename
        }
        char digits[16];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), code->co_firstlineno).ptr;
        path += ':';
        path.append(digits, end);
    } catch (const std::bad_alloc&) {
        path.clear();
    }
    return path;
}

void write_left_out_function(utils::MsgpackWriter& writer, PyObject* code_object, uint64_t count,
                             std::optional<uint64_t> recorded) noexcept {
    auto* code = reinterpret_cast<PyCodeObject*>(code_object);
    writer.map_header(recorded ? 5 : 4);
    writer.str("co_name");
    writer.str(code_text(code->co_name));
    writer.str("qualname");
    writer.str(code_text(code->co_qualname));
    writer.str("path");
    writer.str(function_path(code));
    writer.str("count");
    writer.uint(count);
    if (recorded) {
        writer.str("recorded");
        writer.uint(*recorded);
    }
}

void append_record(utils::RecordLog& buffer, const utils::ByteBuffer& record, const utils::MsgpackWriter& writer) {
    if (writer.finish()) {
        buffer.append(record.view());
    }
}

// The "calls_left_out" record of one limit: the limit, and each function's calls it left out since
// the last document (with, for calls_per_function, the calls recorded in the trace so far, which
// say what limit would have kept them all).
void write_left_out_record(utils::RecordLog& records, const std::vector<AccountingRecords::Function>& functions,
                           bool by_calls, uint64_t limit, double timestamp) {
    const auto listed = static_cast<uint32_t>(std::count_if(
        functions.begin(), functions.end(), [&](const auto& f) { return (by_calls ? f.left_out : f.stopped) != 0; }));
    if (listed == 0) {
        return;
    }
    utils::ByteBuffer record;
    utils::MsgpackWriter writer(record);
    writer.map_header(5);
    writer.str("type");
    writer.str("calls_left_out");
    utils::write_f64_pair(writer, timestamp);
    writer.str("reason");
    writer.str(by_calls ? "calls_per_function" : "trace_bytes");
    writer.str("limit");
    writer.uint(limit);
    writer.str("functions");
    writer.array_header(listed);
    for (const auto& function : functions) {
        const uint64_t count = by_calls ? function.left_out : function.stopped;
        if (count == 0) {
            continue;
        }
        std::optional<uint64_t> recorded;
        if (by_calls) {
            recorded = function.recorded;
        }
        write_left_out_function(writer, function.code.get(), count, recorded);
    }
    append_record(records, record, writer);
}

}  // namespace

AccountingRecords Profiler::accounting_records() noexcept {
    AccountingRecords said;
    said.generation = trace_generation_.load(std::memory_order_relaxed);
    auto now = utils::timestamp();
    const double timestamp = now ? *now : config_.start_timestamp;
    try {
        if (!left_out_codes_.get().empty()) {
            for (const PyRef& code : left_out_codes_.get()) {
                CallCounts* counts = call_counts(code.get(), serial_, said.generation);
                said.left_out.push_back({code.clone(), counts != nullptr ? counts->left_out : 0,
                                         counts != nullptr ? counts->stopped : 0,
                                         counts != nullptr ? counts->recorded : 0});
            }
            write_left_out_record(said.records, said.left_out, true, config_.limits.calls_per_function.value_or(0),
                                  timestamp);
            write_left_out_record(said.records, said.left_out, false, config_.limits.trace_bytes.value_or(0),
                                  timestamp);
        }
        {
            auto accounting = accounting_.lock();
            said.dropped_records = accounting->unreported_dropped_records;
            said.dropped_bytes = accounting->unreported_dropped_bytes;
        }
        if (said.dropped_records != 0) {
            utils::ByteBuffer record;
            utils::MsgpackWriter writer(record);
            writer.map_header(5);
            writer.str("type");
            writer.str("records_dropped");
            utils::write_int_pair(writer, "buffer_bytes", config_.limits.buffer_bytes);
            writer.str("count");
            writer.uint(said.dropped_records);
            writer.str("bytes");
            writer.uint(said.dropped_bytes);
            utils::write_f64_pair(writer, timestamp);
            append_record(said.records, record, writer);
        }
    } catch (const std::bad_alloc&) {
        // The document goes out without them; the counts stay pending for the next one.
        return AccountingRecords{};
    }
    return said;
}

void Profiler::settle(AccountingRecords& said) noexcept {
    const uint64_t generation = trace_generation_.load(std::memory_order_relaxed);
    if (said.generation != generation) {
        said.left_out.clear();  // a new test's trace began meanwhile: its counts start from nothing
    }
    uint64_t settled_calls = 0;
    uint64_t settled_stopped = 0;
    for (const auto& function : said.left_out) {
        if (CallCounts* counts = call_counts(function.code.get(), serial_, generation)) {
            const uint64_t taken = std::min(counts->left_out, function.left_out);
            const uint64_t stopped = std::min(counts->stopped, function.stopped);
            counts->left_out -= taken;
            counts->stopped -= stopped;
            settled_calls += taken;
            settled_stopped += stopped;
        }
    }
    // Codes still holding calls (counted while the document was being stored) stay listed; the others
    // are released after the list is consistent again, since releasing one may run Python code.
    std::vector<PyRef> settled;
    std::erase_if(left_out_codes_.get(), [&](PyRef& code) {
        CallCounts* counts = call_counts(code.get(), serial_, generation);
        if (counts != nullptr && (counts->left_out != 0 || counts->stopped != 0)) {
            return false;
        }
        settled.push_back(std::move(code));
        return true;
    });
    {
        auto accounting = accounting_.lock();
        accounting->unreported_dropped_records -= std::min(accounting->unreported_dropped_records,
                                                           said.dropped_records);
        accounting->unreported_dropped_bytes -= std::min(accounting->unreported_dropped_bytes, said.dropped_bytes);
    }
    {
        auto totals = totals_.lock();
        totals->left_out_calls += settled_calls;
        totals->stopped_calls += settled_stopped;
    }
    said.left_out.clear();
}

Status Profiler::file_stop_marker(ThreadState& thread) noexcept {
    auto info = thread_info(thread);
    VESK_TRY(info);
    auto now = utils::timestamp();
    VESK_TRY(now);
    utils::Record record;
    utils::MsgpackWriter writer(record);
    writer.map_header(6);
    writer.str("type");
    writer.str("recording_stopped");
    writer.str("reason");
    writer.str("trace_bytes");
    writer.str("limit");
    writer.uint(config_.limits.trace_bytes.value_or(0));
    utils::write_f64_pair(writer, *now);
    writer.str("thread");
    writer.str((*info)->name);
    utils::write_int_pair(writer, "thread_native_id", (*info)->native_id);
    if (auto written = writer.finish(); !written) {
        return written;
    }
    [[maybe_unused]] Filed filed = push_frame_data((*info)->native_id, std::span<const utils::Record>(&record, 1),
                                                   thread.recorder_seconds_at_record(event_delivery_ns_));
    totals_.lock()->stopped_traces += 1;
    return {};
}

utils::Result<PyRef> Profiler::recording_totals() noexcept {
    const RecordingTotals totals = *totals_.lock();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return utils::PyError::fetch();
    }
    for (auto [key, value] :
         {std::pair{"documents", totals.documents}, std::pair{"dropped_records", totals.dropped_records},
          std::pair{"left_out_calls", totals.left_out_calls}, std::pair{"stopped_calls", totals.stopped_calls},
          std::pair{"stopped_traces", totals.stopped_traces}, std::pair{"failed_events", totals.failed_events}}) {
        PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(value));
        if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) {
            return utils::PyError::fetch();
        }
    }
    return dict;
}

}  // namespace vesk::profiler
