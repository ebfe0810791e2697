// Values guarded by engine locks, with the interpreter-lock rule visible in the type: a `Guarded<T>`
// lock is never held while Python code runs (nothing that could release the interpreter lock happens
// inside). Its holder therefore never waits for the interpreter lock, waiting for it while holding
// the interpreter lock cannot deadlock, and a fork (which happens from Python code, with the
// interpreter lock held) never finds it taken.
//
// The engine deliberately has no lock that stays held while Python code runs: that code may wait for
// another profiled thread, which could be waiting for the same lock.
#pragma once

#include <Python.h>

#include <mutex>
#include <utility>

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

private:
    std::mutex mutex_;
    T value_;
};

}  // namespace vesk::utils
