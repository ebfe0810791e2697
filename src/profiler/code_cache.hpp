// What a profiler decided about a code object, kept on the code object itself (in one of its
// "extra" slots), so that the next event of the same code skips the filename tests and the plugin
// lookup. For the frames a profiler drops, that is the whole of the work.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filters/decision.hpp"
#include "plugins/processor.hpp"
#include "utils/pyref.hpp"

namespace vesk::profiler {

struct CodeVerdict {
    uint64_t profiler_serial;  // whose verdict this is: each profiler has its own filters and plugins
    filters::FilenameVerdict filename;
    std::vector<plugins::PluginProcessor>* processors;  // registered for the code's name, or null
    // The code's "co_filename" and "co_name" as UTF-8, read once: the code object keeps both alive
    // for as long as this verdict is kept on it.
    std::string_view filename_text;
    std::string_view name_text;
};

// Parts of a default frame record that depend on the code object alone, built at its first recorded
// event and renewed only when what they were built from changes.
struct RecordTexts {
    std::string path_prefix;       // "<path>:", for the working directory of `path_generation`
    uint64_t path_generation = 0;  // 0: not built yet
    utils::PyRef module_name;      // the globals' "__name__" object `qualname` was built from
    uint64_t globals_version = 0;  // the globals as last seen holding `module_name` (0: not kept)
    std::optional<std::string> qualname;
    // The line of each instruction (by code unit; negative: none), read once from the code's line
    // table: from 3.12 on the interpreter scans the table again at every look-up.
    std::vector<int32_t> lines;
    bool lines_read = false;
    enum class Builtins : uint8_t { Unknown, Never, Maybe };
    Builtins builtins_in_locals = Builtins::Unknown;  // whether the locals can hold "__builtins__"
};

// How often one profiler met the code in the current trace: calls recorded, calls left out since the
// last document. Counted per trace, so a count of an earlier trace (`generation`) starts again at 0.
struct CallCounts {
    uint64_t profiler_serial = 0;
    uint64_t generation = 0;
    uint64_t recorded = 0;
    uint64_t left_out = 0;  // by calls_per_function, not yet said in a document
    uint64_t stopped = 0;   // once the trace reached trace_bytes, not yet said in a document
};

struct CodeFacts {
    CodeVerdict verdict;
    RecordTexts texts;
    CallCounts counts;
};

// Requires the interpreter lock. Reserves the code objects' slot; without one (the interpreter has
// handed out all of them) verdicts are simply not kept.
void reserve_code_slot() noexcept;

// Requires the interpreter lock. What is kept on `code`, or null when nothing is yet (or cannot be:
// without a slot, verdicts and texts are built at every event). Found once per event and handed on,
// since each look costs a call into the interpreter; the code object owns them.
[[nodiscard]] CodeFacts* kept_facts(PyObject* code) noexcept;

// The verdict of profiler `profiler_serial` among `facts` (which may be null), or null.
[[nodiscard]] inline const CodeVerdict* cached_verdict(const CodeFacts* facts, uint64_t profiler_serial) noexcept {
    return facts != nullptr && facts->verdict.profiler_serial == profiler_serial ? &facts->verdict : nullptr;
}

// Requires the interpreter lock. Keeps `verdict` on `code` (best effort: an allocation or slot
// failure only means it is computed again next time); the facts it is kept in, or null.
CodeFacts* cache_verdict(PyObject* code, const CodeVerdict& verdict) noexcept;

// Requires the interpreter lock. The call counts of profiler `profiler_serial` for trace `generation`
// kept on `code` (reset when they were another profiler's or another trace's), or null when they
// cannot be kept.
[[nodiscard]] CallCounts* call_counts(PyObject* code, uint64_t profiler_serial, uint64_t generation) noexcept;
// The same among facts already found (null: none kept).
[[nodiscard]] inline CallCounts* call_counts(CodeFacts* facts, uint64_t profiler_serial, uint64_t generation) noexcept {
    if (facts == nullptr) {
        return nullptr;
    }
    CallCounts& counts = facts->counts;
    if (counts.profiler_serial != profiler_serial || counts.generation != generation) {
        counts = CallCounts{profiler_serial, generation, 0, 0};
    }
    return &counts;
}

}  // namespace vesk::profiler
