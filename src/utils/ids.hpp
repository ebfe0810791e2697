// Frame and trace identifiers ("frm_"/"trc_" + a 26-character ULID text) and the wall-clock timestamp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/result.hpp"

namespace vesk::utils {

inline constexpr size_t ULID_TEXT_LENGTH = 26;

// 128 bits: 48 bits of milliseconds since the epoch, then 80 random bits.
struct Ulid {
    uint64_t high;  // time << 16 | 16 random bits
    uint64_t low;   // 64 random bits
};

// Draws a ULID for `unix_millis` from the calling thread's generator (lock-free).
[[nodiscard]] Ulid make_ulid(uint64_t unix_millis) noexcept;
// A ULID for the current time; the time field is 0 when the clock reads before the epoch.
[[nodiscard]] Ulid new_ulid() noexcept;
// Crockford base 32, most significant first; the first character carries the top 3 bits.
[[nodiscard]] std::array<char, ULID_TEXT_LENGTH> ulid_text(Ulid ulid) noexcept;

// "frm_" + ULID text. A fixed-size value: making one allocates nothing.
class FrameId {
public:
    static constexpr size_t LENGTH = 4 + ULID_TEXT_LENGTH;
    [[nodiscard]] std::string_view view() const noexcept { return {text_.data(), text_.size()}; }
    // A frame id with exactly this text, for ids that come back from Python; empty unless the text
    // has the id's length.
    [[nodiscard]] static std::optional<FrameId> from_text(std::string_view text) noexcept;
    friend bool operator==(const FrameId&, const FrameId&) = default;

private:
    friend FrameId new_frame_id() noexcept;
    std::array<char, LENGTH> text_{};
};

[[nodiscard]] FrameId new_frame_id() noexcept;
// "trc_" + ULID text.
[[nodiscard]] std::string new_trace_id();

// Seconds since the Unix epoch with the clock's full resolution. Fails (internal error "System time
// is before unix epoch") only when the clock reads before the epoch.
[[nodiscard]] Result<double> timestamp() noexcept;

// One reading of the real-time clock, as the system gives it (0 <= nanoseconds < 1e9).
struct ClockReading {
    int64_t seconds;
    int64_t nanoseconds;
};
// The real-time clock now.
[[nodiscard]] ClockReading read_clock() noexcept;
// A reading in nanoseconds since the epoch, for measuring intervals on the timestamps' own clock.
[[nodiscard]] constexpr int64_t nanoseconds_of(ClockReading reading) noexcept {
    return reading.seconds * 1'000'000'000 + reading.nanoseconds;
}
// The ULID time field for a reading: whole milliseconds modulo 2^48; 0 before the epoch.
[[nodiscard]] uint64_t unix_millis_from(ClockReading reading) noexcept;
// The timestamp for a reading; what `timestamp` returns for the current one.
[[nodiscard]] Result<double> timestamp_from(ClockReading reading) noexcept;

// How often the calling thread's generator has been seeded from the system (for tests of reseeding).
[[nodiscard]] uint64_t random_seedings_on_this_thread() noexcept;

}  // namespace vesk::utils
