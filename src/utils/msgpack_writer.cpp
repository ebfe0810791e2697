#include "utils/msgpack_writer.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace vesk::utils {

namespace {
constexpr size_t MAX_MSGPACK_LENGTH = std::numeric_limits<uint32_t>::max();
}  // namespace

MsgpackWriter::MsgpackWriter(ByteBuffer& out) noexcept : out_(&out) {
    msgpack_packer_init(&packer_, this, &MsgpackWriter::append);
}

MsgpackWriter::MsgpackWriter(std::span<char> region) noexcept : region_(region) {
    msgpack_packer_init(&packer_, this, &MsgpackWriter::append);
}

int MsgpackWriter::append(void* self, const char* data, size_t size) noexcept {
    auto* writer = static_cast<MsgpackWriter*>(self);
    if (writer->out_ == nullptr) {
        if (size > writer->region_.size() - writer->written_) {
            writer->failed_ = true;
            return -1;
        }
        if (size != 0) {
            std::memcpy(writer->region_.data() + writer->written_, data, size);
        }
        writer->written_ += size;
        return 0;
    }
    // Called from msgpack-c's C frames: no exception may unwind through them.
    try {
        writer->out_->append(data, size);
        return 0;
    } catch (...) {
        writer->failed_ = true;
        return -1;
    }
}

void MsgpackWriter::map_header(uint32_t entries) noexcept { msgpack_pack_map(&packer_, entries); }

void MsgpackWriter::array_header(uint32_t items) noexcept { msgpack_pack_array(&packer_, items); }

void MsgpackWriter::str(std::string_view text) noexcept {
    if (text.size() > MAX_MSGPACK_LENGTH) {
        // No MessagePack header can state this length; writing a truncated one would corrupt the value.
        failed_ = true;
        return;
    }
    msgpack_pack_str(&packer_, text.size());
    msgpack_pack_str_body(&packer_, text.data(), text.size());
}

void MsgpackWriter::uint(uint64_t value) noexcept { msgpack_pack_uint64(&packer_, value); }

void MsgpackWriter::int32(int32_t value) noexcept { msgpack_pack_int32(&packer_, value); }

void MsgpackWriter::f64(double value) noexcept { msgpack_pack_double(&packer_, value); }

void MsgpackWriter::nil() noexcept { msgpack_pack_nil(&packer_); }

void MsgpackWriter::true_value() noexcept { msgpack_pack_true(&packer_); }

void MsgpackWriter::raw(std::string_view encoded) noexcept { append(this, encoded.data(), encoded.size()); }

Status MsgpackWriter::finish() const noexcept {
    if (failed_) {
        return internal_error("Writing to memory, not I/O");
    }
    return {};
}

void write_str_pair(MsgpackWriter& w, std::string_view key, std::optional<std::string_view> value) noexcept {
    w.str(key);
    if (value) {
        w.str(*value);
    } else {
        w.nil();
    }
}

void write_raw_pair(MsgpackWriter& w, std::string_view key, ByteBuffer&& encoded) noexcept {
    const ByteBuffer consumed = std::move(encoded);
    w.str(key);
    w.raw(consumed.view());
}

void write_int_pair(MsgpackWriter& w, std::string_view key, std::optional<uint64_t> value) noexcept {
    w.str(key);
    if (value) {
        w.uint(*value);
    } else {
        w.nil();
    }
}

void write_f64_pair(MsgpackWriter& w, double timestamp) noexcept {
    w.str("timestamp");
    w.f64(timestamp);
}

void write_raw_frames(MsgpackWriter& w, const RecordLog& records) noexcept {
    // A count above 2^32 - 1 cannot occur: that many records would not fit in memory.
    w.array_header(static_cast<uint32_t>(records.count()));
    records.for_each_chunk([&](std::string_view chunk) { w.raw(chunk); });
}

void write_argv(MsgpackWriter& w, const std::vector<std::string>& argv) noexcept {
    w.str("command_line_args");
    w.array_header(static_cast<uint32_t>(argv.size()));
    for (const std::string& arg : argv) {
        w.str(arg);
    }
}

void write_frames(MsgpackWriter& w, const std::unordered_map<uint64_t, RecordLog>& frames) noexcept {
    w.str("frames");
    w.map_header(static_cast<uint32_t>(frames.size()));
    for (const auto& [thread_id, records] : frames) {
        w.uint(thread_id);
        write_raw_frames(w, records);
    }
}

void write_frames_of_interest(MsgpackWriter& w, const RecordLog& records, const RecordLog* trailer) noexcept {
    w.str("frames_of_interest");
    if (trailer == nullptr) {
        write_raw_frames(w, records);
        return;
    }
    w.array_header(static_cast<uint32_t>(records.count() + trailer->count()));
    records.for_each_chunk([&](std::string_view chunk) { w.raw(chunk); });
    trailer->for_each_chunk([&](std::string_view chunk) { w.raw(chunk); });
}

void write_meta(MsgpackWriter& w, std::string_view version, std::string_view source) noexcept {
    w.str("meta");
    w.map_header(3);
    w.str("version");
    w.str(version);
    w.str("source");
    w.str(source);
    w.str("use_frame_boundaries");
    w.true_value();
}

}  // namespace vesk::utils
