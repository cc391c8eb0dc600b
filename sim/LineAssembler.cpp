#include "sim/LineAssembler.h"

#include "sim/BootLoaderConstants.h"

#include <algorithm>

namespace sparwick::sim {

LineAssembler::LineAssembler(Listener& lineListener)
    : listener(lineListener) {}

void LineAssembler::clear() {
    resetLine();
    echoMode = Echo::off;
    heldEcho.clear();
    lineEndDeadline.reset();
}

void LineAssembler::resetLine() {
    line.clear();
    started = false;
    overflow = false;
    lostBytes = 0;
}

void LineAssembler::receive(char byte, Clock::time_point now) {
    if (lineEndDeadline) {
        // A CR ended the line; an LF right after it belongs to the same line end.
        lineEndDeadline.reset();
        if (byte == '\n') {
            echoByte(byte);
            complete();
            return;
        }
        complete();
        if (!listener.listening()) {
            return;
        }
    }
    if (byte == isp::escape) {
        abandon();
        return;
    }
    const bool lineEnd = byte == '\r' || byte == '\n';
    if (!started) {
        started = true;
        const LineStart start = listener.lineStarts(lineEnd);
        echoMode = start.echo;
        lostBytes = start.lostBytes;
    } else if (lostBytes > 0 && !lineEnd) {
        // Lost on the way: the boot loader never sees the byte, so it neither echoes nor
        // keeps it.
        --lostBytes;
        return;
    }
    echoByte(byte);
    if (byte == '\r') {
        const auto wait = std::max<std::chrono::nanoseconds>(isp::lineFeedWait, 2 * byteTime);
        lineEndDeadline = now + std::chrono::duration_cast<Clock::duration>(wait);
        return;
    }
    if (byte == '\n') {
        complete();
        return;
    }
    if (line.size() < isp::maxLineLength) {
        line += byte;
    } else {
        overflow = true;
    }
}

void LineAssembler::tick(Clock::time_point now) {
    if (lineEndDeadline && now >= *lineEndDeadline) {
        lineEndDeadline.reset();
        complete();
    }
}

std::string LineAssembler::takeHeldEcho() {
    std::string echoed = std::move(heldEcho);
    heldEcho.clear();
    return echoed;
}

void LineAssembler::flushHeldEcho() {
    if (!heldEcho.empty()) {
        listener.echo(heldEcho);
        heldEcho.clear();
    }
}

void LineAssembler::echoByte(char byte) {
    if (echoMode == Echo::held) {
        heldEcho += byte;
    } else if (echoMode == Echo::immediate) {
        listener.echo(std::string_view(&byte, 1));
    }
}

void LineAssembler::complete() {
    const std::string text = std::move(line);
    const bool cut = overflow;
    resetLine();
    if (!text.empty()) {
        listener.lineComplete(text, cut);
        heldEcho.clear();
    } else {
        flushHeldEcho();
    }
    echoMode = Echo::off;
}

void LineAssembler::abandon() {
    flushHeldEcho();
    resetLine();
    echoMode = Echo::off;
    listener.escape();
}

} // namespace sparwick::sim
