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

Profiler::Profiler(Config config, plugins::PluginTable plugins, std::string trace_id)
    : serial_(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)),
      config_(std::move(config)),
      plugins_(std::move(plugins)),
      trace_id_(std::move(trace_id)) {}

int Profiler::traverse(visitproc visit, void* arg) const noexcept {
    // The plugin table's Python objects never change after construction; each thread's stack changes
    // only under the interpreter lock, held here.
    if (int visited = plugins_.traverse(visit, arg); visited != 0) {
        return visited;
    }
    return threads_.traverse(visit, arg);
}

void Profiler::push_frame_data(std::optional<uint64_t> thread_id, std::span<const Record> records) noexcept {
    if (records.empty()) {
        return;
    }
    bool main_buffer = !thread_id || !config_.threading || config_.main_thread_id == thread_id;
    auto file_into = [&](utils::RecordLog& buffer) {
        for (const Record& record : records) {
            buffer.append(record.view());
        }
    };
    if (main_buffer) {
        file_into(*frames_of_interest_.lock());
    } else {
        file_into((*frames_.lock())[*thread_id]);
    }
}

void Profiler::start_new_test_trace() {
    std::string fresh_id = utils::new_trace_id();
    // The reset's lock order; no Python code runs while these are held.
    auto trace_id = trace_id_.lock();
    auto [frames_of_interest, frames] = frames_of_interest_.lock_then(frames_);
    *trace_id = std::move(fresh_id);
    *frames_of_interest = {};
    frames->clear();
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
    if (!info) {
        return std::move(info.error());
    }
    const std::optional<uint64_t> thread_id = (*info)->native_id;
    // The records stay in the batch (their buffers are reused); `filed` counts those already filed.
    size_t filed = 0;
    auto file_up_to = [&](size_t end) -> Status {
        if (end > batch.records.size() || end < filed) {
            return utils::internal_error("A batch holds one record per type");
        }
        push_frame_data(thread_id, std::span<const Record>(batch.records).subspan(filed, end - filed));
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
            } else if (type == "start_test") {
                // Filed, then discarded with everything else buffered: the new test starts afresh.
                if (auto done = file_up_to(position); !done) {
                    return done;
                }
                start_new_test_trace();
            }
        }
    }
    return file_up_to(batch.records.size());
}

}  // namespace vesk::profiler
