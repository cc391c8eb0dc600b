#include "sim/FaultInjector.h"

#include <algorithm>

namespace sparwick::sim {

void FaultInjector::add(const FaultRule& rule) {
    entries.push_back({rule, false});
}

std::optional<FaultRule> FaultInjector::occurrence(FaultStep step) {
    const std::uint32_t count = ++seen[static_cast<std::size_t>(step)];
    for (Entry& entry : entries) {
        if (!entry.used && entry.rule.step == step && entry.rule.occurrence == count) {
            entry.used = true;
            ++usedCount;
            return entry.rule;
        }
    }
    return std::nullopt;
}

bool FaultInjector::pending(std::initializer_list<FaultStep> steps) const {
    return std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) {
        return !entry.used &&
               std::find(steps.begin(), steps.end(), entry.rule.step) != steps.end() &&
               entry.rule.occurrence > seen[static_cast<std::size_t>(entry.rule.step)];
    });
}

} // namespace sparwick::sim
