// The layout of MessagePack bytes without decoding them: where a value ends, and where the items of
// an array or a map lie. Saving a trace reads only a few values of a document of many thousand
// records; finding them this way costs a pass over the bytes instead of a call per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vesk::serialize {

// Where the value starting at `at` ends; nothing when the bytes end first or hold a byte MessagePack
// never writes. Nesting takes no stack: any depth is walked.
[[nodiscard]] std::optional<size_t> value_end(std::span<const uint8_t> data, size_t at) noexcept;

struct Container {
    uint64_t items;  // an array's items, or a map's keys and values (twice its entries)
    size_t first;    // where the first item starts
};

// The container starting at `at`; nothing when it is not an array or a map, or its header is cut.
[[nodiscard]] std::optional<Container> container_at(std::span<const uint8_t> data, size_t at) noexcept;

}  // namespace vesk::serialize
