#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace sparwick::test {

// A pseudo-terminal whose device end (the slave) the code under test opens by path, and
// whose other end the test drives. The test keeps a raw slave descriptor of its own open
// so that the far end does not see a hang-up each time the code under test closes.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& devicePath() const { return slavePath; }
    int farEnd() const { return master; }

    void send(std::string_view bytes);
    // Up to count bytes, or fewer when timeout passes first.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives until nothing has come for quiet.
    std::string receiveUntilQuiet(std::chrono::milliseconds quiet);
    // Closes the far end, as an unplugged adapter does.
    void hangUp();

private:
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

} // namespace sparwick::test
