// Filing each event's batch into the shared buffers, and cutting one trace per test.
#include "profiler/profiler.hpp"

#include <algorithm>
#include <atomic>
#include <span>

#include "utils/ids.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::Record;
using utils::Status;

namespace {
std::atomic<uint64_t> next_profiler_serial{1};
}  // namespace

Profiler::Profiler(Config config, host::Host host, plugins::PluginTable plugins, std::string trace_id)
    : serial_(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)),
      config_(std::move(config)),
      plugins_(std::move(plugins)),
      trace_id_(utils::LockRank::TraceId, std::move(trace_id)),
      frames_of_interest_(utils::LockRank::FramesOfInterest),
      frames_(utils::LockRank::Frames),
      host_(std::move(host)),
      accounting_(utils::LockRank::Accounting),
      totals_(utils::LockRank::Totals) {}

int Profiler::traverse(visitproc visit, void* arg) const noexcept {
    // The plugin table's Python objects never change after construction; each thread's stack changes
    // only under the interpreter lock, held here.
    if (int visited = plugins_.traverse(visit, arg); visited != 0) {
        return visited;
    }
    if (int visited = host_.get().traverse(visit, arg); visited != 0) {
        return visited;
    }
    for (const auto& [frame, suspended] : suspended_calls_) {
        Py_VISIT(suspended.frame.get());
    }
    for (const auto& [frame, left_out] : left_out_suspended_) {
        Py_VISIT(left_out.first.get());
    }
    return threads_.traverse(visit, arg);
}

Profiler::Filed Profiler::push_frame_data(std::optional<uint64_t> thread_id, std::span<const Record> records,
                                          double recorder_seconds) noexcept {
    if (records.empty()) {
        return {};
    }
    uint64_t bytes = 0;
    for (const Record& record : records) {
        bytes += record.size();
    }
    auto [file, filed] = account_for_filing(records.size(), bytes);
    if (!file) {
        return filed;
    }
    try {
        with_buffer_of(thread_id, [&](utils::RecordLog& buffer) {
            for (const Record& record : records) {
                buffer.append(record.view(), recorder_seconds);
            }
        });
    } catch (const std::bad_alloc&) {
        // Memory ran out: the records that did not fit are lost, and said to be.
        count_dropped(records.size(), bytes);
    }
    return filed;
}

std::pair<bool, Profiler::Filed> Profiler::account_for_filing(size_t records, uint64_t bytes) noexcept {
    const Limits& limits = config_.limits;
    if (!limits.buffer_bytes && !limits.trace_bytes) {
        return {true, {}};  // nothing to account for
    }
    const std::optional<uint64_t> hard_bound = limits.hard_buffer_bytes();
    Filed filed;
    {
        auto accounting = accounting_.lock();
        accounting->retry_after_bytes -= std::min(accounting->retry_after_bytes, bytes);
        // The hard bound is for storage that fails: while a save merely takes its time (other threads
        // filing meanwhile), nothing is lost, and "saving them kept failing" would be untrue.
        const bool keep = !hard_bound || !accounting->storage_failed ||
                          accounting->buffered_bytes + bytes <= *hard_bound;
        if (keep) {
            accounting->buffered_bytes += bytes;
            accounting->filed_bytes += bytes;
            filed.stop_marker_due = limits.trace_bytes && accounting->filed_bytes >= *limits.trace_bytes &&
                                    !frames_stopped_.exchange(true, std::memory_order_relaxed);
        } else {
            // Storage keeps failing: keeping everything would grow without limit.
            accounting->unreported_dropped_records += records;
            accounting->unreported_dropped_bytes += bytes;
        }
        filed.stream_due = limits.buffer_bytes && accounting->buffered_bytes >= *limits.buffer_bytes &&
                           !accounting->saving && accounting->retry_after_bytes == 0;
        if (keep) {
            return {true, filed};
        }
    }
    totals_.lock()->dropped_records += records;
    return {false, filed};
}

Status Profiler::after_filing(Filed filed, ThreadState& thread) noexcept {
    if (filed.stop_marker_due) {
        if (auto marked = file_stop_marker(thread); !marked) {
            return marked;
        }
    }
    return filed.stream_due ? stream_if_full() : Status{};
}

Status Profiler::file_frame_record(const FrameRecordParts& parts, ThreadState& thread) noexcept {
    auto bound = frame_record_bound(parts);
    VESK_TRY(bound);
    const double recorder_seconds = thread.recorder_seconds_at_record(event_delivery_ns_);
    Filed filed;
    try {
        filed = with_buffer_of(parts.thread->native_id, [&](utils::RecordLog& buffer) {
            return write_into(buffer, parts, *bound, recorder_seconds);
        });
    } catch (const std::bad_alloc&) {
        return no_memory_for_frame_record();
    }
    return after_filing(filed, thread);
}

Profiler::Filed Profiler::write_into(utils::RecordLog& log, const FrameRecordParts& parts, size_t bound,
                                     double recorder_seconds) {
    char* const start = log.reserve_record(bound);
    const char* const end = write_frame_record(start, parts);
    const auto bytes = static_cast<uint64_t>(end - start);
    auto [keep, filed] = account_for_filing(1, bytes);
    if (keep) {
        try {
            log.commit_record(end, recorder_seconds);
        } catch (const std::bad_alloc&) {
            count_dropped(1, bytes);  // memory ran out: lost, and said to be
        }
    }
    return filed;
}

void Profiler::count_dropped(size_t records, uint64_t bytes) noexcept {
    {
        auto accounting = accounting_.lock();
        accounting->buffered_bytes -= std::min(accounting->buffered_bytes, bytes);
        accounting->unreported_dropped_records += records;
        accounting->unreported_dropped_bytes += bytes;
    }
    totals_.lock()->dropped_records += records;
}

void Profiler::switch_trace(std::string trace_id, bool in_test, bool saving) noexcept {
    {
        // The reset's lock order; no Python code runs while these are held.
        auto id = trace_id_.lock();
        auto [frames_of_interest, frames] = frames_of_interest_.lock_then(frames_);
        auto accounting = accounting_.lock();
        *id = std::move(trace_id);
        *frames_of_interest = {};
        frames->clear();
        *accounting = TraceAccounting{};
        accounting->saving = saving;
        accounting->in_test = in_test;
    }
    frames_stopped_.store(false, std::memory_order_relaxed);
    forget_left_out_calls();
}

void Profiler::start_new_test_trace() {
    // A save of this process may be under way on another thread: it goes on.
    const bool saving = accounting_.lock()->saving;  // released before the switch takes it again
    switch_trace(utils::new_trace_id(), true, saving);
}

void Profiler::start_forked_trace(std::string trace_id) noexcept {
    // Nothing is being saved in the child: only the forking thread exists.
    const bool in_test = accounting_.lock()->in_test;  // released before the switch takes it again
    switch_trace(std::move(trace_id), in_test, false);
    *totals_.lock() = RecordingTotals{};
    try {
        threads_.drop_other_threads();
    } catch (const std::bad_alloc&) {
        // Their entries stay: harmless, only never used again.
    }
}

Status Profiler::push_frames(Event event, Batch& batch, ThreadState& thread) noexcept {
    if (batch.types.empty()) {
        return {};
    }
    if (event == Event::Return) {
        // Plugin records come before the frame record in the batch; on a return they follow it, so a
        // return mirrors its call.
        std::reverse(batch.records.begin(), batch.records.end());
        std::reverse(batch.types.begin(), batch.types.end());
    }
    auto info = thread_info(thread);
    VESK_TRY(info);
    const std::optional<uint64_t> thread_id = (*info)->native_id;
    // The records stay in the batch (their buffers are reused); `filed` counts those already filed.
    size_t filed = 0;
    Filed due;
    auto file_up_to = [&](size_t end) -> Status {
        if (end > batch.records.size() || end < filed) {
            return utils::internal_error("A batch holds one record per type");
        }
        due |= push_frame_data(thread_id, std::span<const Record>(batch.records).subspan(filed, end - filed),
                               thread.recorder_seconds_at_record(event_delivery_ns_));
        filed = end;
        return {};
    };
    if (config_.one_trace_per_test) {
        for (size_t position = 0; position < batch.types.size(); ++position) {
            const std::string& type = batch.types[position];
            if (type == "end_test") {
                // Everything up to and including the marker belongs to the test's trace.
                if (auto done = file_up_to(position + 1); !done) {
                    return done;
                }
                if (auto saved = save_in_db(); !saved) {
                    return saved;
                }
                accounting_.lock()->in_test = false;
            } else if (type == "start_test") {
                // Filed, then discarded with everything else buffered: the new test starts afresh.
                if (auto done = file_up_to(position); !done) {
                    return done;
                }
                start_new_test_trace();
            }
        }
    }
    if (auto done = file_up_to(batch.records.size()); !done) {
        return done;
    }
    return after_filing(due, thread);
}

Status Profiler::stream_if_full() noexcept {
    const std::optional<uint64_t> bound = config_.limits.buffer_bytes;
    if (!bound) {
        return {};
    }
    bool outside_test = false;
    {
        auto accounting = accounting_.lock();
        if (accounting->saving || accounting->buffered_bytes < *bound || accounting->retry_after_bytes > 0) {
            return {};
        }
        outside_test = config_.one_trace_per_test && !accounting->in_test;
    }
    if (outside_test) {
        // Records between tests are discarded by the next "start_test" anyway: not worth a document.
        discard_buffers();
        return {};
    }
    Status saved = save_in_db();
    auto accounting = accounting_.lock();
    if (saved) {
        accounting->storage_failed = false;
        return {};
    }
    // Kept for another try once as much again has come (filed, or dropped past the hard bound); said
    // once, not at every try.
    accounting->retry_after_bytes = *bound;
    if (std::exchange(accounting->storage_failed, true)) {
        return {};
    }
    return saved;
}

void Profiler::discard_buffers() noexcept { [[maybe_unused]] TakenRecords discarded = take_records(); }

}  // namespace vesk::profiler
