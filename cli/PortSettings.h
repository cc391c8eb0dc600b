#pragma once

#include <memory>
#include <string>

namespace sparwick::cli {

// A port's line settings as the supervisor found them before a worker opened it, for a
// worker that dies holding the port (a kill, a crash) and so cannot put them back itself.
// On Windows it keeps nothing.
class PortSettings {
public:
    PortSettings();
    ~PortSettings();
    PortSettings(PortSettings&&) noexcept;
    PortSettings& operator=(PortSettings&&) noexcept;

    // Reads the settings of the port at device, unless they are known already; a port that
    // cannot be opened now (busy, gone) is read at a later call.
    void take(const std::string& device);
    // Puts back what take read, if it read anything.
    void restore(const std::string& device) const;

private:
    struct Saved;
    std::unique_ptr<Saved> saved;
};

} // namespace sparwick::cli
