#pragma once

// For a process that ends in the middle of an update (a signal handler): makes every port
// it has open as it was found, at once, with async-signal-safe calls only. Unsent output
// is discarded, the line settings found at open are put back, exclusive use is given up
// and the descriptor closed. The ports' records stay as they are: the process must end
// (_exit) right after.
namespace sparwick::serialsys {

void releaseOpenPortsNow() noexcept;

} // namespace sparwick::serialsys
