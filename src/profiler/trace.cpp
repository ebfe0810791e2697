// Trace documents: the buffered records of a recording, assembled into one MessagePack map and
// handed to the host's storage function.
#include "profiler/profiler.hpp"

#include <new>

#include "utils/convert.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"
#include "utils/msgpack_writer.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::interned;
using utils::PyError;
using utils::PyRef;
using utils::Record;
using utils::RecordLog;
using utils::Result;
using utils::Status;

namespace {

// What a document says about the program and the host, read before any buffer is touched so that
// a failure here leaves every record in place.
struct HostInfo {
    std::string version;
    std::optional<std::string> commit_sha;
    std::vector<std::string> argv;
};

Result<HostInfo> read_host_info(host::Host& host) noexcept {
    HostInfo info;
    auto version = host.version();
    VESK_TRY(version);
    info.version = std::move(*version);
    auto commit_sha = host.commit_sha();
    VESK_TRY(commit_sha);
    info.commit_sha = std::move(*commit_sha);
    auto argv = utils::module_attribute(interned().module_sys, interned().argv);
    VESK_TRY(argv);
    auto argv_texts = utils::string_list_of(argv->get());
    VESK_TRY(argv_texts);
    info.argv = std::move(*argv_texts);
    return info;
}

}  // namespace

TakenRecords Profiler::take_records() noexcept {
    auto [frames_of_interest, frames] = frames_of_interest_.lock_then(frames_);
    TakenRecords taken{std::exchange(*frames_of_interest, {}), std::exchange(*frames, {}), 0};
    taken.bytes = taken.frames_of_interest.size_in_bytes();
    for (const auto& [thread_id, records] : taken.frames) {
        taken.bytes += records.size_in_bytes();
    }
    auto accounting = accounting_.lock();
    accounting->buffered_bytes -= std::min(accounting->buffered_bytes, taken.bytes);
    return taken;
}

void Profiler::put_back(TakenRecords taken) {
    auto [frames_of_interest, frames] = frames_of_interest_.lock_then(frames_);
    // Ahead of anything filed since they were taken: the next document keeps the original order.
    taken.frames_of_interest.append(std::move(*frames_of_interest));
    *frames_of_interest = std::move(taken.frames_of_interest);
    for (auto& [thread_id, records] : *frames) {
        taken.frames[thread_id].append(std::move(records));
    }
    *frames = std::move(taken.frames);
    accounting_.lock()->buffered_bytes += taken.bytes;
}

std::string Profiler::current_trace_id() { return *trace_id_.lock(); }

namespace {

// The longest MessagePack header of a string, array or map, and the longest integer.
constexpr size_t LONGEST_HEADER = 5;
constexpr size_t LONGEST_INTEGER = 9;

size_t string_room(std::string_view text) noexcept { return LONGEST_HEADER + text.size(); }

// No document can be longer: the keys and fixed values, the texts, a key and header per thread, and
// the records as they are.
size_t document_room(const HostInfo& host, const TakenRecords& taken, const RecordLog& trailer, const Config& config,
                     std::string_view trace_id) noexcept {
    constexpr size_t KEYS_AND_FIXED_VALUES = 512;
    size_t room = KEYS_AND_FIXED_VALUES + string_room(host.version) + string_room(config.source) +
                  string_room(trace_id) + (host.commit_sha ? string_room(*host.commit_sha) : 0);
    for (const auto& argument : host.argv) {
        room += string_room(argument);
    }
    room += taken.frames.size() * (LONGEST_INTEGER + LONGEST_HEADER);
    return room + taken.bytes + trailer.size_in_bytes();
}

void write_document(utils::MsgpackWriter& writer, const HostInfo& host, const TakenRecords& taken,
                    const RecordLog& trailer, const Config& config, std::string_view trace_id) noexcept {
    writer.map_header(8);
    utils::write_argv(writer, host.argv);
    utils::write_str_pair(writer, "current_commit_sha", host.commit_sha);
    utils::write_frames(writer, taken.frames);
    utils::write_frames_of_interest(writer, taken.frames_of_interest, trailer.count() != 0 ? &trailer : nullptr);
    utils::write_int_pair(writer, "main_thread_id", config.main_thread_id);
    utils::write_meta(writer, host.version, config.source);
    utils::write_f64_pair(writer, config.start_timestamp);
    utils::write_str_pair(writer, "trace_id", trace_id);
}

// The document is written straight into its bytes object, made at the longest it can be, then cut
// to length (the allocator gives the tail back without a copy). Written into a buffer of our own and
// copied, every page of every document was new memory twice: in a test suite, most of the page
// faults of the whole run.
Result<PyRef> encode_document(const HostInfo& host, const TakenRecords& taken, const RecordLog& trailer,
                              const Config& config, std::string_view trace_id) noexcept {
    const size_t room = document_room(host, taken, trailer, config, trace_id);
    if (room > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        return utils::internal_error("Writing to memory, not I/O");
    }
    PyRef document = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
    if (!document) {
        return utils::internal_error("Python API call failed", PyError::fetch());
    }
    utils::MsgpackWriter writer(std::span<char>(PyBytes_AS_STRING(document.get()), room));
    write_document(writer, host, taken, trailer, config, trace_id);
    VESK_TRY(writer.finish());
    // The resize takes the reference over: it gives back the cut object, or releases it and fails.
    PyObject* cut = document.release();
    if (_PyBytes_Resize(&cut, static_cast<Py_ssize_t>(writer.written())) < 0) {
        return utils::internal_error("Python API call failed", PyError::fetch());
    }
    return PyRef::steal(cut);
}

// One record per record list: the recorder's time on its thread up to each of its records, so that
// readers can take the recorder's own cost out of durations without the records changing.
void append_recorder_times(const RecordLog& records, std::optional<uint64_t> thread_id, RecordLog& trailer) noexcept {
    const std::vector<double>& seconds = records.recorder_seconds();
    if (seconds.empty() || seconds.size() > UINT32_MAX) {
        return;
    }
    utils::ByteBuffer record;
    utils::MsgpackWriter writer(record);
    writer.map_header(3);
    writer.str("type");
    writer.str("recorder_time");
    writer.str("list");
    thread_id ? writer.uint(*thread_id) : writer.str("frames_of_interest");
    writer.str("seconds");
    writer.array_header(static_cast<uint32_t>(seconds.size()));
    for (double value : seconds) {
        writer.f64(value);
    }
    if (!writer.finish()) {
        return;
    }
    try {
        trailer.append(record.view());
    } catch (const std::bad_alloc&) {
        // Memory ran out: this document's durations stay as measured.
    }
}

void append_recorder_times(const TakenRecords& taken, RecordLog& trailer) noexcept {
    append_recorder_times(taken.frames_of_interest, std::nullopt, trailer);
    for (const auto& [thread_id, records] : taken.frames) {
        append_recorder_times(records, thread_id, trailer);
    }
}

}  // namespace

Result<PyRef> Profiler::build_trace() noexcept {
    auto host = read_host_info(host_.get());
    VESK_TRY(host);
    TakenRecords taken = take_records();
    AccountingRecords said = accounting_records();
    if (config_.recorder_time) {
        append_recorder_times(taken, said.records);
    }
    auto document = encode_document(*host, taken, said.records, config_, current_trace_id());
    if (document) {
        settle(said);
    }
    return document;
}

Status Profiler::save_in_db() noexcept {
    accounting_.lock()->saving = true;
    Status saved = save_document();
    accounting_.lock()->saving = false;
    return saved;
}

Status Profiler::save_document() noexcept {
    auto host = read_host_info(host_.get());
    VESK_TRY(host);
    TakenRecords taken = take_records();
    AccountingRecords said = accounting_records();
    if (config_.recorder_time) {
        append_recorder_times(taken, said.records);
    }
    std::string trace_id = current_trace_id();
    auto document = encode_document(*host, taken, said.records, config_, trace_id);
    if (!document) {
        put_back(std::move(taken));
        return std::move(document.error());
    }
    // CAUTION: runs the host's storage function; other threads may run and file records meanwhile.
    Status stored = host_.get().save_trace(config_.db_path, trace_id, config_.sqlite_busy_timeout, document->get());
    if (!stored) {
        put_back(std::move(taken));
        return stored;
    }
    settle(said);
    totals_.lock()->documents += 1;
    return stored;
}

}  // namespace vesk::profiler
