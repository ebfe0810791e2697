#include "utils/ids.hpp"

#include <pthread.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace vesk::utils {

namespace {

constexpr char CROCKFORD[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr uint64_t TIME_MASK = (uint64_t{1} << 48) - 1;

// Every ten-bit value as its two characters: half the look-ups of one character at a time.
constexpr auto CROCKFORD_PAIRS = [] {
    std::array<std::array<char, 2>, 1024> pairs{};
    for (size_t value = 0; value < pairs.size(); ++value) {
        pairs[value] = {CROCKFORD[value >> 5], CROCKFORD[value & 31]};
    }
    return pairs;
}();

// Bumped in the child after every fork. Each thread's generator remembers the value it was seeded
// under, so a forked child never repeats its parent's stream, and no id pays for a getpid() call.
std::atomic<uint64_t> fork_generation{1};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the fork handler must not take a lock");

void on_fork_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::once_flag process_setup;

void set_up_process() noexcept {
    if (sodium_init() < 0) {
        // Only the CPU-specific speed-ups are missing; the portable implementations stay selected
        // and are just as correct.
    }
    pthread_atfork(nullptr, nullptr, on_fork_child);
}

void read_os_random(unsigned char* out, size_t size) noexcept {
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            // No getrandom (old kernel, seccomp filter): libsodium falls back to /dev/urandom and
            // aborts rather than hand out predictable bytes.
            randombytes_buf(out + filled, size - filled);
            return;
        }
    }
}

// A ChaCha keystream per thread: no lock, no system call except when (re)seeding. Holds no
// interpreter object, so it may live in thread_local storage.
class ThreadRandom {
public:
    // Kept a plain function of its object: inlined or specialised for the thread-local one, it had
    // that object's address looked up again after every call it makes.
    [[gnu::noipa]] void fill(unsigned char* out, size_t size) noexcept {
        if (seeded_generation_ != fork_generation.load(std::memory_order_relaxed) ||
            output_since_seed_ >= RESEED_AFTER) {
            reseed();
        }
        output_since_seed_ += size;
        while (size > 0) {
            if (used_ == BUFFER_BYTES) {
                refill();
            }
            // Spent keystream stays until the next refill overwrites it: it is the ids handed out,
            // which the records hold anyway, whereas what is yet to be handed out is never exposed.
            const size_t take = std::min(size, BUFFER_BYTES - used_);
            std::memcpy(out, buffer_ + used_, take);
            used_ += take;
            out += take;
            size -= take;
        }
    }

    [[nodiscard]] uint64_t seedings() const noexcept { return seedings_; }

private:
    static constexpr size_t BLOCK_BYTES = 64;
    static constexpr size_t BLOCKS_PER_REFILL = 4;  // 64 words of output per keystream call
    static constexpr size_t BUFFER_BYTES = BLOCK_BYTES * BLOCKS_PER_REFILL;
    static constexpr size_t RESEED_AFTER = 64 * 1024;
    // 64 KiB per key is 1024 blocks, far below the 32-bit block counter's limit.
    static_assert(RESEED_AFTER / BLOCK_BYTES + BLOCKS_PER_REFILL < (uint64_t{1} << 32));

    void reseed() noexcept {
        std::call_once(process_setup, set_up_process);
        seeded_generation_ = fork_generation.load(std::memory_order_relaxed);
        read_os_random(key_, sizeof key_);
        next_block_ = 0;
        used_ = BUFFER_BYTES;  // keystream of the old key (perhaps the parent's) is never handed out
        output_since_seed_ = 0;
        ++seedings_;
    }

    void refill() noexcept {
        static constexpr unsigned char zeros[BUFFER_BYTES] = {};
        static constexpr unsigned char nonce[crypto_stream_chacha20_ietf_NONCEBYTES] = {};
        crypto_stream_chacha20_ietf_xor_ic(buffer_, zeros, BUFFER_BYTES, nonce, next_block_, key_);
        next_block_ += BLOCKS_PER_REFILL;
        used_ = 0;
    }

    unsigned char key_[crypto_stream_chacha20_ietf_KEYBYTES] = {};
    unsigned char buffer_[BUFFER_BYTES] = {};
    size_t used_ = BUFFER_BYTES;
    uint32_t next_block_ = 0;
    size_t output_since_seed_ = 0;
    uint64_t seeded_generation_ = 0;  // 0: never seeded (the global counter starts at 1)
    uint64_t seedings_ = 0;
};

thread_local ThreadRandom thread_random;

}  // namespace

ClockReading read_clock() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // served by the vDSO: no system call
    return {static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec)};
}

uint64_t unix_millis_from(ClockReading reading) noexcept {
    if (reading.seconds < 0) {
        return 0;
    }
    const auto millis = static_cast<uint64_t>(reading.seconds) * 1000 +
                        static_cast<uint64_t>(reading.nanoseconds) / 1'000'000;
    return millis & TIME_MASK;
}

Result<double> timestamp_from(ClockReading reading) noexcept {
    if (reading.seconds < 0) {
        return internal_error("System time is before unix epoch");
    }
    return static_cast<double>(reading.seconds) + static_cast<double>(reading.nanoseconds) / 1e9;
}

Result<double> timestamp() noexcept { return timestamp_from(read_clock()); }

Ulid make_ulid(uint64_t unix_millis) noexcept {
    // The 80 random bits in one draw.
    std::array<unsigned char, 10> random;
    thread_random.fill(random.data(), random.size());
    uint16_t high_random = 0;
    uint64_t low_random = 0;
    std::memcpy(&high_random, random.data(), sizeof high_random);
    std::memcpy(&low_random, random.data() + sizeof high_random, sizeof low_random);
    return {((unix_millis & TIME_MASK) << 16) | high_random, low_random};
}

Ulid new_ulid() noexcept { return make_ulid(unix_millis_from(read_clock())); }

std::array<char, ULID_TEXT_LENGTH> ulid_text(Ulid ulid) noexcept {
    // Least significant characters last, ten bits (two characters) per look-up: twelve characters off
    // the low word, one straddling both words, thirteen off the high one.
    std::array<char, ULID_TEXT_LENGTH> text{};
    constexpr size_t STRADDLING = ULID_TEXT_LENGTH - 13;
    uint64_t low = ulid.low;
    for (size_t i = ULID_TEXT_LENGTH; i > STRADDLING + 1; i -= 2) {
        std::memcpy(&text[i - 2], CROCKFORD_PAIRS[low & 1023].data(), 2);
        low >>= 10;
    }
    uint64_t high = ulid.high;
    text[STRADDLING] = CROCKFORD[low | ((high & 1) << 4)];  // the low word's last four bits
    high >>= 1;
    for (size_t i = STRADDLING; i > 1; i -= 2) {
        std::memcpy(&text[i - 2], CROCKFORD_PAIRS[high & 1023].data(), 2);
        high >>= 10;
    }
    text[0] = CROCKFORD[high & 31];
    return text;
}

std::optional<FrameId> FrameId::from_text(std::string_view text) noexcept {
    if (text.size() != LENGTH) {
        return std::nullopt;
    }
    FrameId id;
    std::copy(text.begin(), text.end(), id.text_.begin());
    return id;
}

FrameId new_frame_id() noexcept {
    FrameId id;
    constexpr std::string_view prefix = "frm_";
    std::copy(prefix.begin(), prefix.end(), id.text_.begin());
    const auto text = ulid_text(new_ulid());
    std::copy(text.begin(), text.end(), id.text_.begin() + prefix.size());
    return id;
}

std::string new_trace_id() {
    const auto text = ulid_text(new_ulid());
    std::string id = "trc_";
    id.append(text.data(), text.size());
    return id;
}

uint64_t random_seedings_on_this_thread() noexcept { return thread_random.seedings(); }

}  // namespace vesk::utils
