#pragma once

#include "cli/LineModel.h"

#include <cstdio>
#include <string>

namespace sparwick::cli {

// What a production line shows: each port's live line on a terminal (redrawn in place),
// progress lines otherwise, the messages of each port's board prefixed with the port, and
// the summary. A port's name is shown with its control characters escaped.
class LinePrinter {
public:
    using Clock = LineModel::Clock;

    // terminal: standard output takes the cursor movements that redraw the live lines.
    explicit LinePrinter(bool terminal);

    bool onTerminal() const { return terminal; }
    // text for the port, every line of it prefixed with the port's name.
    void show(const LineModel& model, const LineModel::Port& port, const std::string& text,
              std::FILE* stream, Clock::time_point now);
    // A line that is the whole run's, not a port's.
    void say(const LineModel& model, const std::string& text, Clock::time_point now);
    // "PORT: progress 10%" where there are no live lines.
    void progressLine(const LineModel::Port& port, const char* word);
    // The station's line after a board: its result and the counts.
    void boardLine(const LineModel& model, const LineModel::Port& port, Clock::time_point now);
    // Redraws the live lines, at most every redraw interval unless now is forced.
    void redraw(const LineModel& model, Clock::time_point now, bool force);
    // Ends the live lines and shows the summary.
    void summary(const LineModel& model);

    static std::string liveLine(const LineModel& model, const LineModel::Port& port,
                                Clock::time_point now);

    static constexpr std::chrono::milliseconds redrawInterval{250};

private:
    void clearLiveLines();

    bool terminal;
    int liveLines = 0;
    Clock::time_point lastRedraw{};
};

} // namespace sparwick::cli
