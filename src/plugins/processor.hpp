// Plugins: descriptions from the host package compiled into a table keyed by function name, and
// their processing at frame events.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/finder.hpp"
#include "host/host.hpp"
#include "serialize/bridge.hpp"
#include "utils/bytes.hpp"
#include "utils/event.hpp"
#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::plugins {

struct PluginProcessor {
    filters::Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    std::optional<std::vector<std::string>> events;
    utils::PyRef context;  // a dict shared by every processor built from one description
    std::unordered_map<uintptr_t, utils::FrameId> frame_ids_by_address;
    utils::PyRef call;     // optional predicate
    utils::PyRef process;  // optional producer of extra record fields
};

class PluginTable {
public:
    [[nodiscard]] bool empty() const noexcept { return by_name_.empty(); }
    // The processors registered for a code name, or null.
    [[nodiscard]] std::vector<PluginProcessor>* find(std::string_view co_name) noexcept;
    void add(std::string co_name, PluginProcessor processor);
    void reserve(size_t names) { by_name_.reserve(names); }
    // Visits every Python object the table holds (garbage-collector support).
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    // Looked up by string_view (the event's code name) without building a std::string.
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    using Entries = std::unordered_map<std::string, std::vector<PluginProcessor>, Hash, std::equal_to<>>;
    Entries by_name_;

public:
    // Every name with its processors, in no particular order (for inspection, not for events).
    [[nodiscard]] const Entries& entries() const noexcept { return by_name_; }
};

// CAUTION: runs Python code (vesk.plugins.load_plugin_data and every "build_context").
[[nodiscard]] utils::Result<PluginTable> load_plugins(host::Host& host, PyObject* config) noexcept;

// What one processor run sees of the event.
struct PluginEvent {
    PyObject* frame;
    utils::Event event;
    PyObject* arg;
    std::string_view filename;
    std::span<const utils::CallFrame> call_frames;  // the thread's open recorded calls
    serialize::Serializer serializer;
    host::Host& host;
};

struct PluginRecord {
    utils::Record bytes;
    std::string type;
};

// CAUTION: runs Python code (the plugin's callables and the serialiser). No record when the processor
// does not apply to the event.
[[nodiscard]] utils::Result<std::optional<PluginRecord>> run_processor(PluginProcessor& processor,
                                                                       const PluginEvent& event) noexcept;

}  // namespace vesk::plugins
