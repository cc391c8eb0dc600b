#include "cli/ProgressPrinter.h"

#include <algorithm>
#include <string>
#include <unistd.h>

namespace sparwick::cli {
namespace {

constexpr int barWidth = 40;

} // namespace

ProgressPrinter::ProgressPrinter(std::FILE* stream)
    : out(stream)
    , terminal(::isatty(::fileno(stream)) == 1)
    , start(std::chrono::steady_clock::now()) {}

void ProgressPrinter::setProgress(int percent) {
    if (!terminal) {
        std::fprintf(out, "progress %d%%\n", percent);
        std::fflush(out);
        return;
    }
    showBar("", percent);
}

void ProgressPrinter::setVerifyProgress(int percent) {
    if (!terminal) {
        std::fprintf(out, "verify %d%%\n", percent);
        std::fflush(out);
        return;
    }
    if (!verifying) {
        // The writing's bar stays as it ended; the read-back gets a line of its own.
        finishLine();
        verifying = true;
    }
    showBar("verifying ", percent);
}

void ProgressPrinter::showBar(const char* label, int percent) {
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    int filled = std::clamp(percent, 0, 100) * barWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(barWidth, '.');
    std::fprintf(out, "\r%s[%s] %3d%%  %lld:%02lld", label, bar.c_str(), percent,
                 static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
    std::fflush(out);
    lineOpen = true;
}

void ProgressPrinter::note(std::string_view text) {
    finishLine();
    std::fprintf(out, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(out);
}

void ProgressPrinter::finishLine() {
    if (lineOpen) {
        std::fputc('\n', out);
        std::fflush(out);
        lineOpen = false;
    }
}

} // namespace sparwick::cli
