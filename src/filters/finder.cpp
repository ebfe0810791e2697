#include "filters/finder.hpp"

#include <cstring>

namespace vesk::filters {

Finder::Finder(std::string needle) : needle_(std::move(needle)) {}

bool Finder::found_in(std::string_view haystack) const noexcept {
    if (needle_.size() > haystack.size()) {
        return false;
    }
    return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
}

std::vector<Finder> build_finders(std::vector<std::string> needles) {
    std::vector<Finder> finders;
    finders.reserve(needles.size());
    for (auto& needle : needles) {
        finders.emplace_back(std::move(needle));
    }
    return finders;
}

bool any_found_in(const std::vector<Finder>& finders, std::string_view haystack) noexcept {
    for (const auto& finder : finders) {
        if (finder.found_in(haystack)) {
            return true;
        }
    }
    return false;
}

}  // namespace vesk::filters
