// The two profile events the recorder handles.
#pragma once

#include <Python.h>

#include <string_view>

#include "utils/interned.hpp"

namespace vesk::utils {

enum class Event { Call, Return };

[[nodiscard]] constexpr std::string_view event_name(Event event) noexcept {
    return event == Event::Call ? "call" : "return";
}

// The event name as an interned str (borrowed).
[[nodiscard]] inline PyObject* event_name_object(Event event) noexcept {
    return event == Event::Call ? interned().event_call : interned().event_return;
}

}  // namespace vesk::utils
