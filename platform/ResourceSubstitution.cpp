#include "platform/ResourceSubstitution.h"

#include <algorithm>

namespace sparwick {

ResourceSubstitution& ResourceSubstitution::instance() {
    static ResourceSubstitution substitution;
    return substitution;
}

void ResourceSubstitution::substitute(int id, std::string_view type, Bytes bytes) {
    std::lock_guard lock(mutex);
    entries.push_front(Entry{id, std::string(type), bytes});
}

void ResourceSubstitution::failStep(ResourceStep step) {
    std::lock_guard lock(mutex);
    failing = step;
}

void ResourceSubstitution::restore() {
    std::lock_guard lock(mutex);
    entries.clear();
    failing = ResourceStep::none;
}

std::optional<ResourceInfo> ResourceSubstitution::find(int id, std::string_view type) const {
    std::lock_guard lock(mutex);
    if (failing == ResourceStep::find) {
        return ResourceInfo{nullptr};
    }
    auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
        return entry.id == id && sameType(entry.type, type);
    });
    if (found == entries.end()) {
        return std::nullopt;
    }
    return &found->bytes;
}

bool ResourceSubstitution::fails(ResourceStep step) const {
    std::lock_guard lock(mutex);
    return step != ResourceStep::none && step == failing;
}

bool ResourceSubstitution::sameType(std::string_view a, std::string_view b) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return upper(x) == upper(y); });
}

void substituteResource(int id, std::string_view type, std::span<const std::uint8_t> bytes) {
    ResourceSubstitution::instance().substitute(id, type, bytes);
}

void failResourceStep(ResourceStep step) {
    ResourceSubstitution::instance().failStep(step);
}

void restoreResources() {
    ResourceSubstitution::instance().restore();
}

} // namespace sparwick
