#pragma once

#include "tests/support/FarEnd.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sparwick::test {

// A stand-in for the device at the far end of a pseudo-terminal, run on its own thread.
// Given what has arrived and not yet been consumed, the responder says how many bytes it
// consumes and what to send back; consuming nothing waits for more. The thread stops
// when the peer is destroyed, however far the conversation got.
class ScriptedPeer {
public:
    struct Answer {
        std::size_t consumed = 0;
        std::string reply;
        bool hangUp = false; // after the reply, close the line as an unplugged adapter does
    };
    using Responder = std::function<Answer(std::string_view pending)>;

    ScriptedPeer(FarEnd& line, Responder responder);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Everything received so far, consumed or not.
    std::string received() const;

    // A conversation of fixed steps: each expected text exactly, answered by its reply.
    // Anything unexpected ends the script: the peer falls silent.
    struct Step {
        std::string expect;
        std::string reply;
        bool hangUp = false; // after the reply, close the line as an unplugged adapter does
    };
    static Responder script(std::vector<Step> steps);

    // A device past the handshake: every command line answered "0\r\n", every checksum
    // line "OK\r\n", data lines taken in silence.
    static Responder acceptEverything();

private:
    void run();

    FarEnd& farEnd;
    Responder responder;
    mutable std::mutex mutex;
    std::string log;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace sparwick::test
