#pragma once

#include "cli/WorkerStream.h"
#include "flash/UpdateOutcome.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::cli {

// The production line's ports and boards as a pure state machine: events in, states,
// counts and the exit status out. It starts no process, prints nothing and reads no clock:
// every event that needs the time is given it.
class LineModel {
public:
    using Clock = std::chrono::steady_clock;

    enum class Phase { starting, waiting, writing, verifying, checking, ended };
    // How the last board on a port ended, or why there was none.
    enum class Result {
        none,
        passed,
        failed,
        fatal,
        refused,
        interrupted,
        crashed,    // the worker died by a signal (or a status) of nobody's choosing
        notStarted, // the worker could not be started
        noBoard,    // a station's port ended without a board
        current,    // a check found that the board holds the image
        differs,    // a check found blocks that differ from the image's
    };

    // How a worker process ended.
    struct WorkerEnd {
        int status = 0;        // 128 plus the signal's number when a signal ended it
        bool bySignal = false; // by a signal or an exception, not by its own exit
        std::string how;       // "by signal 9", for the user; empty when it exited
    };

    struct Port {
        std::string name;
        Phase phase = Phase::starting;
        bool boardOn = false; // a board is being updated (always, outside a station)
        // The station stopped this port's worker before the worker said a board answered.
        bool stoppedByStation = false;
        int percent = 0;
        Clock::time_point started{};
        UpdateStep step = UpdateStep::loading;
        std::optional<UpdateOutcome> outcome; // as the worker sent it
        std::string message;                  // the board's message, for the summary and record
        std::string stray;                    // the worker's first line that is no event
        std::uint32_t partId = 0;
        std::optional<std::string> bootCode;
        std::uint32_t written = 0;
        std::uint32_t verified = 0;
        // A check's finding: the offsets of the blocks that differ, none when current.
        std::optional<std::vector<std::uint32_t>> differing;

        Result result = Result::none;
        double seconds = 0;
        unsigned passed = 0;
        unsigned failed = 0;
        std::optional<Clock::time_point> restartAt;
        bool lostShown = false;
        bool workerRuns = false;

        bool touchedFlash() const { return step >= UpdateStep::erasing; }
    };

    // What the supervisor is to do about a worker's end.
    struct Ending {
        bool counted = false;           // a board's result: to the record and the station's line
        std::string notice;             // an error line for the port, when there is one to show
        bool settingsToRestore = false; // the worker died holding the port
    };

    // checking: each worker checks its board (--check) rather than updating it; a check
    // that finds the image counts as a pass, one that finds blocks differ as a failure.
    LineModel(std::vector<std::string> names, bool station, std::optional<unsigned> count,
              bool checking = false);

    const std::vector<Port>& ports() const { return all; }
    const Port& port(std::size_t index) const { return all[index]; }
    unsigned passed() const { return passedInAll; }
    unsigned failed() const { return failedInAll; }
    bool station() const { return isStation; }
    bool checking() const { return isCheck; }

    // A worker was started on the port at now, or could not be.
    void launched(std::size_t index, Clock::time_point now);
    void launchFailed(std::size_t index, Clock::time_point now);

    // An event from the port's worker. The ports whose workers the station now stops (a
    // station that has begun its count's last board stops the ports still waiting).
    std::vector<std::size_t> event(std::size_t index, const WorkerEvent& event,
                                   Clock::time_point now);
    // A line of the worker's that is no event.
    void strayLine(std::size_t index, const std::string& text);
    // The port's worker ended.
    Ending ended(std::size_t index, const WorkerEnd& end, Clock::time_point now);

    // An interruption by signal: the first one stops the line; true for one after it.
    bool interrupt(int signal);
    int interruptedBy() const { return interruption; }
    // The record could not be written: no new board starts. The ports to stop.
    std::vector<std::size_t> recordFailed();

    bool running() const;
    // The ports whose next worker is due at now.
    std::vector<std::size_t> dueForRestart(Clock::time_point now) const;
    std::optional<Clock::time_point> nextRestart() const;
    // The ports whose board was left part-way by an interruption.
    std::vector<std::string> incomplete() const;
    // 0 when every board passed (or is current); 1 when any failed with a message (or
    // differs); 2 or 3 when one applies (the worst); 128 plus the signal's number when
    // interrupted.
    int exitStatus() const;

    static std::string_view wordOf(Result result);
    // The word of the live line for a port's phase (its result once ended).
    static std::string_view phaseWord(const Port& port);

private:
    bool goesOn() const { return isStation && !stopping; }
    std::vector<std::size_t> stopWaitingPorts();
    void boardAnswered(Port& port, Clock::time_point now, std::vector<std::size_t>& toStop);
    Result resultOf(Port& port, const WorkerEnd& end);

    std::vector<Port> all;
    bool isStation;
    bool isCheck;
    std::optional<unsigned> count;
    bool stopping = false;
    int interruption = 0;
    int worst = 0;
    unsigned passedInAll = 0;
    unsigned failedInAll = 0;
    unsigned boardsStarted = 0;
    unsigned boardsDone = 0;
};

} // namespace sparwick::cli
