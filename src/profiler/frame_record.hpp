// The default frame record of a recorded call or return: what it holds, gathered while the event runs
// the serialisers, then written in one pass into memory reserved at its upper size (the thread's
// reusable buffer, or the shared buffers' current chunk, so the common record is copied nowhere).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "serialize/bridge.hpp"
#include "utils/event.hpp"
#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/result.hpp"

namespace vesk::profiler {

// The "path" text in two pieces, written into the record without being joined first: the code's
// kept "<path>:" and the line's digits, or the whole text where nothing is kept.
struct PathText {
    std::string_view kept;
    std::array<char, 12> digits{};
    size_t digit_count = 0;
    [[nodiscard]] std::string_view line() const noexcept { return {digits.data(), digit_count}; }
    [[nodiscard]] size_t size() const noexcept { return kept.size() + digit_count; }
};

// What a frame record holds besides its constant keys. Its texts borrow from the code's kept texts and
// the thread's buffers: valid until Python code runs again. Filled in place, never moved, since
// `qualname` may point at `fresh_qualname`.
struct FrameRecordParts {
    FrameRecordParts() noexcept = default;
    FrameRecordParts(const FrameRecordParts&) = delete;
    FrameRecordParts& operator=(const FrameRecordParts&) = delete;

    PathText path;
    std::string_view co_name;
    const std::optional<std::string>* qualname = nullptr;  // kept on the code object, or `fresh_qualname`
    std::optional<std::string> fresh_qualname;
    utils::Event event = utils::Event::Call;
    bool raised = false;  // a return an exception caused: written as the event "unwind"
    std::optional<utils::FrameId> frame_id;
    serialize::Serialized arg;  // what the serialiser made of them, held until written
    serialize::Serialized locals;
    std::string_view arg_bytes;  // their bytes, found once
    std::string_view locals_bytes;
    const utils::ThreadInfo* thread = nullptr;
    double timestamp = 0;
    std::optional<utils::CallSite> call_site;
};

// Room enough for the record (a few bytes more than it takes); an error where its texts are too
// long for a MessagePack header.
[[nodiscard]] utils::Result<size_t> frame_record_bound(const FrameRecordParts& parts) noexcept;

// What an event whose frame record found no memory reports.
[[nodiscard]] utils::PyError no_memory_for_frame_record() noexcept;

// Writes the record at `out`, which has room for `frame_record_bound` bytes; returns its end.
char* write_frame_record(char* out, const FrameRecordParts& parts) noexcept;

}  // namespace vesk::profiler
