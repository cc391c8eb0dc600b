// The port list on the Win32 calls, run under Wine. Every COM name of the Wine stage is
// absent but those that tests/wine/CMakeLists.txt plugs in for this program: terminals on
// COM1, COM3, COM12 and COM100, and on COM5 something that refuses to open with access
// denied, as a port that another program holds.
#include "serial/ComPortList.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sparwick {
namespace {

TEST(ComPortList, ListsExactlyThePresentPortsInAscendingOrder) {
    // COM100 is listed with its six characters, though the channel cannot select it, and
    // COM5 because a port in use is still a port on this machine.
    EXPECT_EQ(ComPortList::instance().ports(),
              (std::vector<std::string>{"COM1", "COM3", "COM5", "COM12", "COM100"}));
}

} // namespace
} // namespace sparwick
