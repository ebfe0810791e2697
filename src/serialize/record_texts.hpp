// The texts of one record (a frame's argument and locals, or one plugin record) redacted by their
// name: each is redacted wherever else it appears in the record. A text shown before it was found
// redacted needs the record written again, now knowing it from the start; the texts shown are kept
// as a 64-bit filter of their addresses, so that the usual record (nothing redacted, or nothing
// shown twice) is written once.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "utils/pyref.hpp"

namespace vesk::serialize {

class RecordTexts {
public:
    // `text` is a non-empty exact str or bytes; it is held until the record is done. May throw
    // std::bad_alloc.
    void redacted(PyObject* text) {
        if (!is_redacted(text)) {
            redacted_.push_back(utils::PyRef::borrow(text));
        }
    }
    [[nodiscard]] bool is_redacted(PyObject* object) const noexcept {
        return !redacted_.empty() && std::any_of(redacted_.begin(), redacted_.end(),
                                                 [object](const utils::PyRef& text) { return text.get() == object; });
    }
    void shown(PyObject* text) noexcept { shown_ |= bit(text); }
    // Whether a text now known to be redacted may have been shown before that was known.
    [[nodiscard]] bool shown_before_redacted() const noexcept {
        return std::any_of(redacted_.begin(), redacted_.end(),
                           [this](const utils::PyRef& text) { return (shown_ & bit(text.get())) != 0; });
    }
    // For writing the record again: the redacted texts stay known, the shown ones are forgotten.
    void start_again() noexcept { shown_ = 0; }

private:
    static uint64_t bit(PyObject* text) noexcept {
        return uint64_t{1} << ((reinterpret_cast<uintptr_t>(text) * 0x9E3779B97F4A7C15ULL) >> 58);
    }
    std::vector<utils::PyRef> redacted_;
    uint64_t shown_ = 0;
};

}  // namespace vesk::serialize
