#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick::sim {

// The boot loader's line input. Bytes become a line at LF, at CR LF, or at a CR that no LF
// follows within the line-feed wait; ESC abandons what has come of a line; a line longer
// than the boot loader's buffer is cut there and marked. While echo is on every byte goes
// back as it comes, or is held back to leave in one piece with the reply when a fault may
// change that exchange. A data-line fault loses bytes of a line on the way in.
class LineAssembler {
public:
    using Clock = std::chrono::steady_clock;

    enum class Echo {
        off,
        immediate,
        held,
    };

    // How one line is treated, decided when its first byte arrives.
    struct LineStart {
        Echo echo = Echo::off;
        // Bytes after the first that never reach the boot loader; the line end always does.
        std::uint32_t lostBytes = 0;
    };

    // The boot loader, as the assembler hands it the lines.
    class Listener {
    public:
        virtual ~Listener() = default;
        // A line's first byte has come; lineEnd: that byte is CR or LF.
        virtual LineStart lineStarts(bool lineEnd) = 0;
        virtual void echo(std::string_view bytes) = 0;
        // A line without its line end, never empty; overflow: it was cut at the buffer's
        // size. The held echo is the listener's to take (takeHeldEcho) or to flush until
        // this returns; what it leaves is dropped.
        virtual void lineComplete(const std::string& text, bool overflow) = 0;
        // ESC: the line so far is gone and its held echo has gone out.
        virtual void escape() = 0;
        // Whether bytes still matter after a line: not after a hang-up or the jump to
        // user code.
        virtual bool listening() const = 0;
    };

    explicit LineAssembler(Listener& listener);

    void receive(char byte, Clock::time_point now);
    // Completes a CR-ended line once its wait for an LF has run out.
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const { return lineEndDeadline; }
    // The time one byte takes on the line: on a slow line a CR waits two of them for an LF.
    void setByteTime(std::chrono::nanoseconds time) { byteTime = time; }
    // Forgets the line in progress and its held echo (power-on).
    void clear();

    // The echo held back for the line being completed: it leaves with the reply.
    std::string takeHeldEcho();
    // Sends the held echo on its own.
    void flushHeldEcho();

private:
    void echoByte(char byte);
    void complete();
    void abandon();
    void resetLine();

    Listener& listener;
    std::string line;
    bool started = false;
    bool overflow = false;
    Echo echoMode = Echo::off;
    std::uint32_t lostBytes = 0;
    std::string heldEcho;
    std::optional<Clock::time_point> lineEndDeadline;
    std::chrono::nanoseconds byteTime{0};
};

} // namespace sparwick::sim
