#include "cli/LinePrinter.h"

#include "cli/PrintableText.h"

#include <algorithm>

namespace sparwick::cli {
namespace {

constexpr int barWidth = 20;

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string minutes(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string counts(unsigned passed, unsigned failed) {
    return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed";
}

} // namespace

LinePrinter::LinePrinter(bool onTerminal)
    : terminal(onTerminal) {}

void LinePrinter::show(const LineModel& model, const LineModel::Port& port, const std::string& text,
                       std::FILE* stream, Clock::time_point now) {
    clearLiveLines();
    const std::string name = printable(port.name);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::fprintf(stream, "%s: %s\n", name.c_str(), text.substr(start, end - start).c_str());
        start = end + 1;
    }
    std::fflush(stream);
    redraw(model, now, true);
}

void LinePrinter::say(const LineModel& model, const std::string& text, Clock::time_point now) {
    clearLiveLines();
    std::fprintf(stderr, "sparwick-cli: %s\n", text.c_str());
    std::fflush(stderr);
    redraw(model, now, true);
}

void LinePrinter::progressLine(const LineModel::Port& port, const char* word) {
    if (!terminal) {
        std::printf("%s: %s %d%%\n", printable(port.name).c_str(), word, port.percent);
        std::fflush(stdout);
    }
}

void LinePrinter::boardLine(const LineModel& model, const LineModel::Port& port,
                            Clock::time_point now) {
    show(model, port,
         std::string(LineModel::wordOf(port.result)) + " (" + counts(port.passed, port.failed) +
             " here; " + counts(model.passed(), model.failed()) + " in all)",
         stdout, now);
}

void LinePrinter::clearLiveLines() {
    if (terminal && liveLines > 0) {
        std::printf("\x1b[%dA\r\x1b[J", liveLines);
        liveLines = 0;
        std::fflush(stdout);
    }
}

std::string LinePrinter::liveLine(const LineModel& model, const LineModel::Port& port,
                                  Clock::time_point now) {
    std::string bar(static_cast<std::size_t>(std::clamp(port.percent, 0, 100) * barWidth / 100),
                    '#');
    bar.resize(barWidth, '.');
    const double seconds = port.phase == LineModel::Phase::ended
                               ? port.seconds
                               : std::chrono::duration<double>(now - port.started).count();
    char text[256];
    std::snprintf(text, sizeof text, "%-20s %-11s [%s] %3d%%  %s", printable(port.name).c_str(),
                  std::string(LineModel::phaseWord(port)).c_str(), bar.c_str(), port.percent,
                  minutes(seconds).c_str());
    std::string line = text;
    if (model.station()) {
        line +=
            "  passed " + std::to_string(port.passed) + ", failed " + std::to_string(port.failed);
    }
    return line;
}

void LinePrinter::redraw(const LineModel& model, Clock::time_point now, bool force) {
    if (!terminal || (!force && now - lastRedraw < redrawInterval)) {
        return;
    }
    lastRedraw = now;
    clearLiveLines();
    for (const LineModel::Port& port : model.ports()) {
        std::printf("%s\n", liveLine(model, port, now).c_str());
    }
    liveLines = static_cast<int>(model.ports().size());
    std::fflush(stdout);
}

void LinePrinter::summary(const LineModel& model) {
    clearLiveLines();
    if (model.station()) {
        std::printf("%-20s %7s %7s\n", "port", "passed", "failed");
        for (const LineModel::Port& port : model.ports()) {
            std::printf("%-20s %7u %7u\n", printable(port.name).c_str(), port.passed, port.failed);
        }
        std::printf("%-20s %7u %7u\n", "all ports", model.passed(), model.failed());
    } else {
        std::printf("%-20s %-11s %6s  %s\n", "port", "result", "time", "message");
        for (const LineModel::Port& port : model.ports()) {
            std::printf("%-20s %-11s %6s  %s\n", printable(port.name).c_str(),
                        std::string(LineModel::wordOf(port.result)).c_str(),
                        minutes(port.seconds).c_str(), firstLine(port.message).c_str());
        }
    }
    std::string list;
    for (const std::string& name : model.incomplete()) {
        list += (list.empty() ? "" : ", ") + printable(name);
    }
    if (!list.empty()) {
        std::printf("Left incomplete: %s\n", list.c_str());
    }
    std::fflush(stdout);
}

} // namespace sparwick::cli
