#pragma once

namespace sparwick::serialsys {

// Whether the terminal open on fd has been taken for exclusive use (TIOCEXCL) by another
// program that still has it open. Root may open such a terminal all the same, and must
// then leave it as it is: no setting, no byte, and its flag still set for the program
// that holds it. Linux tells any opener the flag since 3.8. A flag that no other program
// holds any more (its holder was killed before it could clear it, and the terminal stayed
// open at a pseudo-terminal's master) does not count: the terminal is free, and whoever
// takes it next sets and clears the flag afresh. Where the flag cannot be asked, or of a
// device that is not a terminal, the answer is no.
bool takenForExclusiveUse(int fd);

} // namespace sparwick::serialsys
