#pragma once

#include "sim/FaultRule.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sparwick::sim {

// Counts the exchanges of each step over the device's life and hands out the rule that
// picks an occurrence, once.
class FaultInjector {
public:
    void add(const FaultRule& rule);

    // One more exchange of this step: the first rule not yet used that picks it, or one
    // that picks every occurrence.
    std::optional<FaultRule> occurrence(FaultStep step);
    // Whether a rule not yet used belongs to this step, or to a step that picks accepts.
    bool pending(FaultStep step) const;
    bool pendingAny(const std::function<bool(FaultStep)>& picks) const;
    // How many rules have been used.
    std::uint32_t used() const { return usedCount; }

private:
    struct Entry {
        FaultRule rule;
        bool used = false;
    };

    std::vector<Entry> entries;
    std::array<std::uint32_t, static_cast<std::size_t>(FaultStep::flasherBlock) + 1> seen{};
    std::uint32_t usedCount = 0;
};

} // namespace sparwick::sim
