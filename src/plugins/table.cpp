#include "plugins/processor.hpp"

namespace vesk::plugins {

std::vector<PluginProcessor>* PluginTable::find(std::string_view co_name) noexcept {
    auto found = by_name_.find(co_name);
    return found == by_name_.end() ? nullptr : &found->second;
}

void PluginTable::add(std::string co_name, PluginProcessor processor) {
    by_name_[std::move(co_name)].push_back(std::move(processor));
}

int PluginTable::traverse(visitproc visit, void* arg) const noexcept {
    for (const auto& [name, processors] : by_name_) {
        for (const auto& processor : processors) {
            Py_VISIT(processor.context.get());
            Py_VISIT(processor.call.get());
            Py_VISIT(processor.process.get());
        }
    }
    return 0;
}

}  // namespace vesk::plugins
