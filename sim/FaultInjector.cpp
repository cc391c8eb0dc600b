#include "sim/FaultInjector.h"

#include <algorithm>

namespace sparwick::sim {

void FaultInjector::add(const FaultRule& rule) {
    entries.push_back({rule, false});
}

std::optional<FaultRule> FaultInjector::occurrence(FaultStep step) {
    const std::uint32_t count = ++seen[static_cast<std::size_t>(step)];
    for (Entry& entry : entries) {
        const bool every = entry.rule.occurrence == FaultRule::everyOccurrence;
        if ((every || !entry.used) && entry.rule.step == step &&
            (every || entry.rule.occurrence == count)) {
            usedCount += entry.used ? 0 : 1;
            entry.used = true;
            return entry.rule;
        }
    }
    return std::nullopt;
}

bool FaultInjector::pending(FaultStep step) const {
    return pendingAny([step](FaultStep candidate) { return candidate == step; });
}

bool FaultInjector::pendingAny(const std::function<bool(FaultStep)>& picks) const {
    return std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) {
        const bool every = entry.rule.occurrence == FaultRule::everyOccurrence;
        return (every || !entry.used) && picks(entry.rule.step) &&
               (every || entry.rule.occurrence > seen[static_cast<std::size_t>(entry.rule.step)]);
    });
}

} // namespace sparwick::sim
