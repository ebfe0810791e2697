// The native profiler: configuration read once from the host's profiler object, the plugin table,
// the trace being recorded and the per-thread bookkeeping of the event handler.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/decision.hpp"
#include "plugins/processor.hpp"
#include "profiler/code_cache.hpp"
#include "profiler/thread_stores.hpp"
#include "utils/bytes.hpp"
#include "utils/event.hpp"
#include "utils/locks.hpp"
#include "utils/record_log.hpp"
#include "utils/result.hpp"
#include "utils/serialize.hpp"

namespace vesk::profiler {

// Everything read from the host object, as plain native values: nothing on the per-event path
// touches the host's configuration objects again.
struct Config {
    filters::FrameFilters filters;
    std::optional<uint64_t> main_thread_id;
    uint64_t sqlite_busy_timeout = 60;
    bool threading = false;
    bool lightweight_repr = false;
    std::string db_path;
    bool one_trace_per_test = false;
    std::string source;
    double start_timestamp = 0.0;

    [[nodiscard]] utils::Serializer serializer() const noexcept {
        return lightweight_repr ? utils::Serializer::LightweightRepr : utils::Serializer::Full;
    }
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
};

class Profiler {
public:
    Profiler(Config config, plugins::PluginTable plugins, std::string trace_id);
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;

    [[nodiscard]] const Config& config() const noexcept { return config_; }

    // CAUTION: runs Python code. Handles one call or return of a profiled thread. Ordinary failures are
    // logged and the event (or the failing plugin's part of it) is dropped; only a broken invariant
    // comes back, as the internal-error exception.
    // `owner` is the VeskProfiler object holding this profiler; all three objects are borrowed.
    [[nodiscard]] utils::Status profile(PyObject* owner, PyObject* frame, utils::Event event, PyObject* arg) noexcept;

    // CAUTION: runs Python code (vesk.version, vesk.git, sys.argv). The trace document, emptying both
    // buffers.
    [[nodiscard]] utils::Result<utils::PyRef> build_trace() noexcept;
    // CAUTION: runs Python code (the host's storage function). Builds the document and hands it to the
    // host; if the host fails, the records go back into the buffers for the next build.
    [[nodiscard]] utils::Status save_in_db() noexcept;

    // Garbage-collector support: every Python object the profiler holds.
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    // The parts of one event, in the order the handler runs them.
    // On a code object's first event: what its filename and name say, kept on the code object.
    [[nodiscard]] utils::Result<CodeVerdict> decide_verdict(EventCode& code) noexcept;
    [[nodiscard]] utils::Status handle_event(PyObject* owner, PyObject* frame, utils::Event event, PyObject* arg,
                                             const EventCode& code, bool record,
                                             std::vector<plugins::PluginProcessor>* processors) noexcept;
    [[nodiscard]] utils::Status run_plugins(PyObject* frame, utils::Event event, PyObject* arg, const EventCode& code,
                                            std::vector<plugins::PluginProcessor>& processors, ThreadState& thread,
                                            Batch& batch) noexcept;
    [[nodiscard]] utils::Status record_frame(PyObject* frame, utils::Event event, PyObject* arg,
                                             const EventCode& code, ThreadState& thread, Batch& batch) noexcept;
    [[nodiscard]] utils::Result<utils::Record> process_frame(PyObject* frame, utils::Event event, PyObject* arg,
                                                            const EventCode& code, ThreadState& thread) noexcept;
    // Comes back with an error only when the reporting itself was interrupted (KeyboardInterrupt,
    // SystemExit): that belongs to the program.
    [[nodiscard]] utils::Status log_error(utils::PyError error, PyObject* frame, utils::Event event,
                                          const EventCode& code) noexcept;

    // Filing batches into the shared buffers.
    [[nodiscard]] utils::Status push_frames(utils::Event event, Batch& batch, ThreadState& thread) noexcept;
    void push_frame_data(std::optional<uint64_t> thread_id, std::span<const utils::Record> records) noexcept;
    void start_new_test_trace();
    [[nodiscard]] utils::Result<const utils::ThreadInfo*> thread_info(ThreadState& thread) noexcept;

    // Trace documents.
    [[nodiscard]] TakenRecords take_records();
    void put_back(TakenRecords taken);
    [[nodiscard]] std::string current_trace_id();

    const uint64_t serial_;  // tells this profiler's verdicts on code objects from other profilers'
    const Config config_;
    plugins::PluginTable plugins_;  // afterwards only its frame-id maps change (interpreter lock)
    utils::Guarded<std::string> trace_id_;
    utils::Guarded<utils::RecordLog> frames_of_interest_;  // lock order: before frames_
    utils::Guarded<ThreadBuffers> frames_;
    ThreadStores threads_;  // each thread touches only its own entry; see thread_stores.hpp
};

// CAUTION: runs Python code (the host's plugin loader and context builders). Builds a profiler
// from the host profiler object.
[[nodiscard]] utils::Result<std::unique_ptr<Profiler>> new_from_python(PyObject* host) noexcept;

}  // namespace vesk::profiler
