#pragma once

#include "cli/RecordFile.h"
#include "cli/Supervisor.h"
#include "cli/WorkerProcess.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// What a production line's supervisor does on every system: the ports and their workers,
// the workers' events, the display, the summary, the record and the exit status. The
// system's own part (cli/posix, cli/win32) owns the wait: it starts the workers, then
// until running() is false waits until a worker brings something, an interruption comes
// or waitTime() has passed, passes each interruption to interrupt() and calls step().
class LineSupervisor {
public:
    // terminal: standard output is a terminal that takes the cursor movements which
    // redraw the ports' lines in place.
    LineSupervisor(const SupervisedRun& run, bool terminal);

    // Opens the record and takes the image's fingerprint: nothing when the run can begin,
    // otherwise its exit status (the reason has been shown).
    std::optional<int> prepare();
    void startWorkers();

    bool running() const;
    std::chrono::milliseconds waitTime() const;
    // An interruption by signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT; on Windows the first two
    // stand for Ctrl-C and Ctrl-Break, SIGHUP for a closed console): every worker hears of it.
    void interrupt(int signal);
    // Reads what the workers brought, starts a station's next workers, redraws.
    void step();
    // Shows the summary; the exit status.
    int finish();

    void forEachWorker(const std::function<void(const WorkerProcess&)>& visit) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { starting, waiting, writing, verifying, ended };

    // One port: its worker, the board on it now, and its counts.
    struct Port {
        std::string name;
        std::string device;
        std::unique_ptr<WorkerProcess> worker;
        std::string outPending;
        std::string errPending;

        Phase phase = Phase::starting;
        bool boardOn = false; // a board is being updated (always, outside a station)
        int percent = 0;
        Clock::time_point started = Clock::now();
        std::chrono::system_clock::time_point startedWall = std::chrono::system_clock::now();
        std::string message; // the board's last message
        std::string stray;   // the worker's last line on standard error
        std::uint32_t partId = 0;
        std::optional<std::string> bootCode;
        std::uint32_t written = 0;
        std::uint32_t verified = 0;

        std::string result; // of the last board
        double seconds = 0;
        unsigned passed = 0;
        unsigned failed = 0;
        std::optional<Clock::time_point> restartAt;
        bool lostShown = false;
    };

    bool fingerprintImage();
    std::vector<std::string> workerArguments(const Port& port) const;
    void launch(Port& port);
    bool anyWorker() const;
    bool stationGoesOn() const;
    void stopWaitingPorts();
    void serve(Port& port);
    void drain(Port& port, WorkerProcess::Stream stream);
    void line(Port& port, const std::string& text, bool events);
    void boardAnswered(Port& port);
    void progressLine(const Port& port, const char* word);
    void ended(Port& port, int status, bool bySignal, const std::string& howKilled);
    std::string resultOf(Port& port, int status, bool bySignal, const std::string& howKilled);
    void keepRecord(const Port& port);
    void show(const Port& port, const std::string& text, std::FILE* stream);
    void clearLiveLines();
    std::string liveLine(const Port& port) const;
    void redraw(bool now);

    const SupervisedRun& run;
    const bool terminal;
    std::vector<Port> ports;
    RecordFile record;
    bool recordBroken = false;
    std::string host;
    std::string imageSha256;
    int interruptedBy = 0;
    bool stopping = false;
    int worst = 0;
    unsigned passed = 0;
    unsigned failed = 0;
    unsigned boardsStarted = 0;
    unsigned boardsDone = 0;
    int liveLines = 0;
    Clock::time_point lastRedraw{};
};

} // namespace sparwick::cli
