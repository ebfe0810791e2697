// Precompiled substring searchers for path fragments.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::filters {

// Answers whether one needle occurs in a haystack (raw bytes, case- and separator-sensitive). Owns a
// copy of its needle; immutable after construction and shared read-only by all threads.
class Finder {
public:
    explicit Finder(std::string needle);
    [[nodiscard]] bool found_in(std::string_view haystack) const noexcept;
    [[nodiscard]] std::string_view needle() const noexcept { return *needle_; }

private:
    // The searcher keeps pointers into the needle, so the needle sits on the heap, where moving the
    // finder (a vector growing, say) does not relocate it.
    std::unique_ptr<const std::string> needle_;
    std::boyer_moore_horspool_searcher<const char*> searcher_;
};

[[nodiscard]] std::vector<Finder> build_finders(std::vector<std::string> needles);

// Whether any finder of the list occurs in `haystack`; stops at the first hit.
[[nodiscard]] bool any_found_in(const std::vector<Finder>& finders, std::string_view haystack) noexcept;

}  // namespace vesk::filters
