#pragma once

#include <string>

namespace sparwick::cli {

// What --port names, checked before anything is opened for the update.
struct PortChoice {
    // The name the channel selects: the COM name given, or the one a path stands for.
    std::string portName;
    // Why the argument cannot be used; empty when it can.
    std::string refusal;
    // Whether the refusal is about the command line itself, to be shown with the usage.
    bool withUsage = false;
    // The refusal is that another program holds the port now: a station waits for it.
    bool busy = false;
};

// A device path stands for a COM name within the process; a COM name must be one the
// channel can select (COM1 to COM99, as written). A name that is neither, but a file in
// the working directory, is taken as its relative path. A path that cannot be used says why:
// missing or not a terminal, busy, forbidden to this user, or this program's own
// terminal. The engine still decides what happens on a name that selects no device.
PortChoice choosePort(const std::string& argument);

} // namespace sparwick::cli
