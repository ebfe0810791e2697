// Values guarded by engine locks, with the interpreter-lock rule visible in the type:
//
// - `Guarded<T>`: the lock is never held while Python code runs (nothing that could release the
//   interpreter lock happens inside). Its holder therefore never waits for the interpreter lock, and
//   waiting for it while holding the interpreter lock cannot deadlock.
// - `HeldAcrossPython<T>`: the lock stays held while Python code runs (which may switch threads).
//   Waiting for it while holding the interpreter lock would deadlock against its holder, so it is
//   waited for with the interpreter lock released, as CPython's own thread locks are.
#pragma once

#include <Python.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "utils/compat.hpp"

namespace vesk::utils {

// Access to a guarded value for as long as the lock is held.
template <class T, class Mutex>
class Locked {
public:
    Locked(std::unique_lock<Mutex> lock, T& value) noexcept : lock_(std::move(lock)), value_(&value) {}
    T& operator*() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_; }

private:
    std::unique_lock<Mutex> lock_;
    T* value_;
};

template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // No Python code may run until the returned access is dropped.
    [[nodiscard]] Locked<T, std::mutex> lock() { return {std::unique_lock(mutex_), value_}; }

    // Takes this lock, then `other`'s: the one helper for taking two buffer locks in a fixed order.
    template <class U>
    [[nodiscard]] std::pair<Locked<T, std::mutex>, Locked<U, std::mutex>> lock_then(Guarded<U>& other) {
        auto first = lock();
        auto second = other.lock();
        return {std::move(first), std::move(second)};
    }

    // Unlocked access for code that has the object to itself (construction, garbage collection).
    T& unguarded() noexcept { return value_; }

private:
    std::mutex mutex_;
    T value_;
};

template <class T>
class HeldAcrossPython {
public:
    template <class... Args>
    explicit HeldAcrossPython(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Requires the interpreter lock. Waits for the lock with the interpreter lock released. Gives up
    // (empty result) only if the interpreter starts shutting down meanwhile: the holder may then be
    // a daemon thread the interpreter has frozen for good.
    [[nodiscard]] std::optional<Locked<T, std::timed_mutex>> lock_releasing_gil() {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS;
            while (!lock.try_lock_for(std::chrono::milliseconds(20))) {
                if (interpreter_is_finalizing()) {
                    break;
                }
            }
            Py_END_ALLOW_THREADS;
            if (!lock.owns_lock()) {
                return std::nullopt;
            }
        }
        return Locked<T, std::timed_mutex>(std::move(lock), value_);
    }

    T& unguarded() noexcept { return value_; }

private:
    std::timed_mutex mutex_;
    T value_;
};

}  // namespace vesk::utils
