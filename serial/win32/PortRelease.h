#pragma once

// For a process that ends in the middle of an update (a console control handler): puts
// the modem lines of the channel's port where they are to be left, before the system
// closes its handle.
namespace sparwick::serialsys {

void releaseOpenPortsNow() noexcept;

} // namespace sparwick::serialsys
