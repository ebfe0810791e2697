// Filing each event's batch into the shared buffers, and cutting one trace per test.
#include "profiler/profiler.hpp"

#include <algorithm>
#include <atomic>

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

void Profiler::push_frame_data(std::optional<uint64_t> thread_id, std::vector<Record>& records, size_t count) noexcept {
    auto first = records.begin();
    auto last = first + static_cast<std::ptrdiff_t>(count);
    bool main_buffer = !thread_id || !config_.threading || config_.main_thread_id == thread_id;
    auto file_into = [&](utils::RecordLog& buffer) {
        for (auto record = first; record != last; ++record) {
            buffer.append(record->view());
        }
    };
    if (main_buffer) {
        file_into(*frames_of_interest_.lock());
    } else {
        file_into((*frames_.lock())[*thread_id]);
    }
    records.erase(first, last);
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

Status Profiler::push_frames(Event event, Batch& batch) noexcept {
    if (batch.types.empty()) {
        return {};
    }
    if (event == Event::Return) {
        // Plugin records come before the frame record in the batch; on a return they follow it, so a
        // return mirrors its call.
        std::reverse(batch.records.begin(), batch.records.end());
        std::reverse(batch.types.begin(), batch.types.end());
    }
    auto info = thread_info(threads_.current());
    if (!info) {
        return std::move(info.error());
    }
    const std::optional<uint64_t> thread_id = (*info)->native_id;
    if (config_.one_trace_per_test) {
        // Positions count in the type list, which keeps its length, while records leave the front of
        // the record list as they are filed.
        size_t filed = 0;
        for (size_t position = 0; position < batch.types.size(); ++position) {
            const std::string& type = batch.types[position];
            if (type == "end_test") {
                size_t count = position + 1 - filed;
                if (count > batch.records.size()) {
                    return utils::internal_error("A batch holds one record per type");
                }
                push_frame_data(thread_id, batch.records, count);
                filed += count;
                if (auto saved = save_in_db(); !saved) {
                    return saved;
                }
            } else if (type == "start_test") {
                size_t count = position - filed;
                if (count > batch.records.size()) {
                    return utils::internal_error("A batch holds one record per type");
                }
                push_frame_data(thread_id, batch.records, count);
                filed += count;
                start_new_test_trace();
            }
        }
    }
    push_frame_data(thread_id, batch.records, batch.records.size());
    return {};
}

}  // namespace vesk::profiler
