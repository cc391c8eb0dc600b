#pragma once

#include "platform/Resources.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sparwick {

// The tests' hold on the resource calls: resources substituted for the linked ones and
// a step made to fail. One per process, shared by every thread; the platform's resource
// calls consult it before their own resources.
class ResourceSubstitution {
public:
    using Bytes = std::span<const std::uint8_t>;

    static ResourceSubstitution& instance();

    // A later substitution of the same id and type wins over an earlier one.
    void substitute(int id, std::string_view type, Bytes bytes);
    void failStep(ResourceStep step);
    // Drops every substitution and lets every step succeed again.
    void restore();

    // What finding id and type gives before the platform looks at its own resources:
    // nothing when find is made to fail, the substituted bytes when there are some; no
    // answer otherwise. The address stays valid until restore(): a resource found through
    // it must be freed before then.
    std::optional<ResourceInfo> find(int id, std::string_view type) const;
    bool fails(ResourceStep step) const;

    // Resource types compare as Win32 compares them: ASCII letters regardless of case.
    static bool sameType(std::string_view a, std::string_view b);

private:
    struct Entry {
        int id;
        std::string type;
        Bytes bytes;
    };

    mutable std::mutex mutex;
    std::list<Entry> entries; // newest first; a list, so that entries never move
    ResourceStep failing = ResourceStep::none;
};

} // namespace sparwick
