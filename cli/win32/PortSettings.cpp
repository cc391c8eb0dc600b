#include "cli/PortSettings.h"

namespace sparwick::cli {

struct PortSettings::Saved {};

PortSettings::PortSettings() = default;
PortSettings::~PortSettings() = default;
PortSettings::PortSettings(PortSettings&&) noexcept = default;
PortSettings& PortSettings::operator=(PortSettings&&) noexcept = default;

void PortSettings::take(const std::string&) {}
void PortSettings::restore(const std::string&) const {}

} // namespace sparwick::cli
