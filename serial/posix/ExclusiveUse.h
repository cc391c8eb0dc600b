#pragma once

#include <sys/ioctl.h>

namespace sparwick::serialsys {

// Whether the terminal open on fd has been taken for exclusive use (TIOCEXCL) by whoever
// else has it open. Root may open such a terminal all the same, and must then leave it
// as it is: no setting, no byte, and its flag still set for the program that holds it.
// Linux tells any opener since 3.8; where it cannot be asked, or of a device that is not
// a terminal, the answer is no.
inline bool takenForExclusiveUse(int fd) {
#ifdef TIOCGEXCL
    int taken = 0;
    return ::ioctl(fd, TIOCGEXCL, &taken) == 0 && taken != 0;
#else
    (void)fd;
    return false;
#endif
}

} // namespace sparwick::serialsys
