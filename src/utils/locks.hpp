// Values guarded by engine locks, with the interpreter-lock rule visible in the type: a `Guarded<T>`
// lock is never held while Python code runs (nothing that could release the interpreter lock happens
// inside). Its holder therefore never waits for the interpreter lock, waiting for it while holding
// the interpreter lock cannot deadlock, and a fork (which happens from Python code, with the
// interpreter lock held) never finds it taken. Debug and test builds check all of it (checks.hpp).
//
// The engine deliberately has no lock that stays held while Python code runs: that code may wait for
// another profiled thread, which could be waiting for the same lock.
#pragma once

#include <Python.h>

#include <mutex>
#include <utility>

#include "utils/checks.hpp"

namespace vesk::utils {

// Access to a guarded value for as long as the lock is held.
template <class T>
class Locked {
public:
    Locked(std::mutex& mutex, LockRank rank, T& value) noexcept : value_(&value), rank_(rank) {
        taking_engine_lock(rank);
        if constexpr (CHECKS) {
            lock_ = std::unique_lock(mutex, std::try_to_lock);
            if (!lock_.owns_lock()) {
                engine_lock_contended();
            }
        } else {
            lock_ = std::unique_lock(mutex);
        }
    }
    Locked(Locked&& other) noexcept = default;
    Locked& operator=(Locked&&) = delete;
    ~Locked() {
        if (lock_.owns_lock()) {
            released_engine_lock(rank_);
        }
    }
    T& operator*() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_; }

private:
    std::unique_lock<std::mutex> lock_;
    T* value_;
    LockRank rank_;
};

template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(LockRank rank, Args&&... args) : value_(std::forward<Args>(args)...),
                                                      rank_(rank) {}

    // No Python code may run until the returned access is dropped.
    [[nodiscard]] Locked<T> lock() { return {mutex_, rank_, value_}; }

    // Takes this lock, then `other`'s: the one helper for taking two buffer locks in a fixed order.
    template <class U>
    [[nodiscard]] std::pair<Locked<T>, Locked<U>> lock_then(Guarded<U>& other) {
        auto first = lock();
        auto second = other.lock();
        return {std::move(first), std::move(second)};
    }

private:
    std::mutex mutex_;
    T value_;
    const LockRank rank_;
};

// A value guarded by the interpreter lock alone: each access requires it (checked in debug and
// test builds), and Python code may run between accesses, so nothing read through it is assumed to
// hold after a call that may run Python code.
template <class T>
class InterpreterGuarded {
public:
    template <class... Args>
    explicit InterpreterGuarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    [[nodiscard]] T& get() noexcept {
        requires_interpreter_lock();
        return value_;
    }
    [[nodiscard]] const T& get() const noexcept {
        requires_interpreter_lock();
        return value_;
    }

private:
    T value_;
};

}  // namespace vesk::utils
