#pragma once

#include "flash/ProgressSink.h"

#include <chrono>
#include <cstdio>

namespace sparwick::cli {

// Shows an update's progress on standard output: a bar with the percentage and the
// elapsed time when that is a terminal, one line per report otherwise (for logs and
// scripts). Before a message is printed the bar's line is ended, so that nothing is
// written over. A write that fails (a reader that has gone away, a full disk) is let go:
// the update goes on, and its exit status says how it ended.
class ProgressPrinter : public ProgressSink {
public:
    explicit ProgressPrinter(std::FILE* out);

    void setProgress(int percent) override;
    // The read-back: a line of its own after the writing's, "verifying" and its bar, or
    // "verify N%" lines.
    void setVerifyProgress(int percent) override;
    // A line of its own on standard output.
    void note(std::string_view text) override;
    // Ends the bar's line if one is showing.
    void finishLine();

private:
    void showBar(const char* label, int percent);

    std::FILE* out;
    bool terminal;
    bool lineOpen = false;
    bool verifying = false;
    std::chrono::steady_clock::time_point start;
};

} // namespace sparwick::cli
