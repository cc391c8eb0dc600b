#pragma once

#include "cli/LineModel.h"
#include "cli/RecordFile.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace sparwick::cli {

// The record a production line keeps (--log): one JSON line per board, on the disk before
// the board is reported as done.
class LineRecord {
public:
    // Opens the record and takes the image's fingerprint: nothing when the run can begin,
    // otherwise its exit status (the reason has been shown).
    std::optional<int> open(const std::string& path);
    bool keeping() const { return !path.empty() && !broken; }
    // Every board is reset through this wiring (--reset); without, by hand.
    void resetThrough(std::string wiring) { resetWiring = std::move(wiring); }

    // The port's last board, as the model has it at steadyNow (wallNow on the calendar);
    // why it could not be written, after which nothing more is.
    std::string write(const LineModel& model, const LineModel::Port& port,
                      LineModel::Clock::time_point steadyNow,
                      std::chrono::system_clock::time_point wallNow);

    // The device a port's name stands for: a COM name's device, else the path made absolute.
    static std::string deviceOf(const std::string& name);

private:
    std::string path;
    RecordFile file;
    bool broken = false;
    std::string host;
    std::string imageSha256;
    std::optional<std::string> resetWiring;
};

} // namespace sparwick::cli
