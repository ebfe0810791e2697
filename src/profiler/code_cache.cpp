#include "profiler/code_cache.hpp"

#include <new>

#include "utils/compat.hpp"

namespace vesk::profiler {

namespace {

// Set once at module initialisation, under the interpreter lock.
Py_ssize_t code_slot = -1;

void free_verdict(void* verdict) { delete static_cast<CodeVerdict*>(verdict); }

}  // namespace

void reserve_code_slot() noexcept {
    if (code_slot < 0) {
        code_slot = utils::request_code_extra_index(free_verdict);
        if (code_slot < 0) {
            PyErr_Clear();  // No slot left: verdicts are computed at every event instead.
        }
    }
}

const CodeVerdict* cached_verdict(PyObject* code, uint64_t profiler_serial) noexcept {
    void* extra = nullptr;
    if (code_slot < 0 || utils::get_code_extra(code, code_slot, &extra) < 0) {
        PyErr_Clear();  // Only a code object of another kind; the verdict is then computed afresh.
        return nullptr;
    }
    auto* verdict = static_cast<const CodeVerdict*>(extra);
    return verdict != nullptr && verdict->profiler_serial == profiler_serial ? verdict : nullptr;
}

void cache_verdict(PyObject* code, const CodeVerdict& verdict) noexcept {
    void* extra = nullptr;
    if (code_slot < 0 || utils::get_code_extra(code, code_slot, &extra) < 0) {
        PyErr_Clear();  // Not kept: computed again at the next event, with the same outcome.
        return;
    }
    if (extra != nullptr) {
        *static_cast<CodeVerdict*>(extra) = verdict;  // another profiler's verdict, replaced in place
        return;
    }
    auto* kept = new (std::nothrow) CodeVerdict(verdict);
    if (kept == nullptr) {
        return;
    }
    if (utils::set_code_extra(code, code_slot, kept) < 0) {
        PyErr_Clear();  // Not kept, as above.
        delete kept;
    }
}

}  // namespace vesk::profiler
