#include "profiler/code_cache.hpp"

#include <new>

#include "utils/compat.hpp"

namespace vesk::profiler {

namespace {

// Set once at module initialisation, under the interpreter lock.
Py_ssize_t code_slot = -1;

// Called by the interpreter when the code object is freed, with the interpreter lock held.
void free_facts(void* facts) { delete static_cast<CodeFacts*>(facts); }

// The facts kept on `code`, made empty on first use; null when they cannot be kept.
CodeFacts* facts_of(PyObject* code) noexcept {
    if (CodeFacts* facts = kept_facts(code)) {
        return facts;
    }
    if (code_slot < 0) {
        return nullptr;
    }
    auto* made = new (std::nothrow) CodeFacts{};
    if (made == nullptr) {
        return nullptr;
    }
    if (utils::set_code_extra(code, code_slot, made) < 0) {
        PyErr_Clear();  // Not kept: computed again at the next event, with the same outcome.
        delete made;
        return nullptr;
    }
    return made;
}

}  // namespace

CodeFacts* kept_facts(PyObject* code) noexcept {
    if (!PyCode_Check(code)) {
        return nullptr;  // only a code object has the slots; the facts of anything else are computed afresh
    }
    return static_cast<CodeFacts*>(utils::code_extra_in_place(reinterpret_cast<PyCodeObject*>(code), code_slot));
}

void reserve_code_slot() noexcept {
    if (code_slot < 0) {
        code_slot = utils::request_code_extra_index(free_facts);
        if (code_slot < 0) {
            PyErr_Clear();  // No slot left: verdicts are computed at every event instead.
        }
    }
}

CodeFacts* cache_verdict(PyObject* code, const CodeVerdict& verdict) noexcept {
    CodeFacts* facts = facts_of(code);
    if (facts != nullptr) {
        facts->verdict = verdict;  // another profiler's verdict, if any, is replaced
    }
    return facts;
}

CallCounts* call_counts(PyObject* code, uint64_t profiler_serial, uint64_t generation) noexcept {
    return call_counts(facts_of(code), profiler_serial, generation);
}

}  // namespace vesk::profiler
