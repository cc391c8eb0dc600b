// The supervisor of a production line's run. Everything happens on one thread in one poll
// loop: the workers' pipes, the signals (through a pipe of their own), the display's clock
// and the station's restarts. A worker is a process, so nothing it does, hangs or crashes
// on can reach another port's board.
#include "cli/Supervisor.h"

#include "cli/BoardRecord.h"
#include "cli/InterruptScope.h"
#include "cli/RecordFile.h"
#include "cli/Sha256.h"
#include "cli/SignalPipe.h"
#include "cli/Update.h"
#include "cli/WorkerProcess.h"
#include "cli/WorkerStream.h"
#include "flash/CarriedImage.h"
#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/UpdateMessages.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"

#include <SparwickVersion.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace sparwick::cli {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A station's port whose worker ended without a board (the adapter is gone, the port
// busy) is tried again after this long.
constexpr auto retryPause = 2s;
// How often a terminal's lines are redrawn while nothing else happens: the elapsed time.
constexpr auto redrawInterval = 250ms;
constexpr int barWidth = 20;

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

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string minutes(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string partName(std::uint32_t partId) {
    for (const auto& part : layout::supportedParts) {
        if (part.partId == partId) {
            return std::string(part.name);
        }
    }
    return {};
}

class Supervisor {
public:
    explicit Supervisor(const SupervisedRun& choices)
        : run(choices)
        , terminal(::isatty(STDOUT_FILENO) == 1) {
        for (const std::string& name : run.ports) {
            Port port;
            port.name = name;
            port.device = name.find('/') == std::string::npos ? devicePath(name) : name;
            ports.push_back(std::move(port));
        }
    }

    int start() {
        if (!run.logPath.empty()) {
            if (const std::string why = record.open(run.logPath); !why.empty()) {
                std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s\n",
                             run.logPath.c_str(), why.c_str());
                return exitUsage;
            }
            if (!fingerprintImage()) {
                return exitFatal;
            }
            host = hostName();
        }
        SignalPipe signals;
        for (Port& port : ports) {
            launch(port);
        }
        loop(signals);
        return finish();
    }

private:
    bool fingerprintImage() {
        CarriedImage carried;
        try {
            carried.load();
        } catch (const UserAbort&) {
            return false; // its message has been shown
        }
        imageSha256 = sha256Hex(FlashImage::patched(carried.bytes()));
        return true;
    }

    std::vector<std::string> workerArguments(const Port& port) const {
        std::vector<std::string> args{run.program, "--worker", "--port", port.name};
        if (run.options.baudRate) {
            args.insert(args.end(), {"--baud", std::to_string(*run.options.baudRate)});
        } else {
            args.insert(args.end(), {"--speed", run.highSpeed ? "high" : "low"});
        }
        if (run.options.fast) {
            args.emplace_back("--fast");
        }
        if (run.options.verify) {
            args.emplace_back("--verify");
        }
        if (run.options.turbo) {
            args.emplace_back("--turbo");
        }
        if (run.station) {
            args.emplace_back("--await-board");
        }
        if (!run.logPath.empty()) {
            args.emplace_back("--boot-code");
        }
        return args;
    }

    void launch(Port& port) {
        port.restartAt.reset();
        port.phase = run.station ? Phase::waiting : Phase::starting;
        port.boardOn = !run.station;
        port.percent = 0;
        port.message.clear();
        port.stray.clear();
        port.partId = 0;
        port.bootCode.reset();
        port.written = 0;
        port.verified = 0;
        port.started = Clock::now();
        port.startedWall = std::chrono::system_clock::now();
        try {
            port.worker = std::make_unique<WorkerProcess>(workerArguments(port));
        } catch (const std::system_error& error) {
            show(port, std::string("cannot start a worker: ") + error.what(), stderr);
            port.restartAt = Clock::now() + retryPause;
            port.phase = Phase::ended;
            port.result = "not started";
            worst = std::max<int>(worst, exitFatal);
        }
    }

    bool anyWorker() const {
        return std::any_of(ports.begin(), ports.end(),
                           [](const Port& port) { return port.worker != nullptr; });
    }

    bool stationGoesOn() const { return run.station && !stopping; }

    void loop(SignalPipe& signals) {
        while (anyWorker() ||
               (stationGoesOn() && std::any_of(ports.begin(), ports.end(), [](const Port& port) {
                    return port.restartAt.has_value();
                }))) {
            std::vector<pollfd> fds{{signals.fd(), POLLIN, 0}};
            for (const Port& port : ports) {
                if (port.worker) {
                    fds.push_back({port.worker->output(), POLLIN, 0});
                    fds.push_back({port.worker->errors(), POLLIN, 0});
                }
            }
            ::poll(fds.data(), fds.size(), pollTimeout());
            for (const int signal : signals.take()) {
                interrupt(signal);
            }
            for (Port& port : ports) {
                serve(port);
            }
            const auto now = Clock::now();
            for (Port& port : ports) {
                if (port.restartAt && *port.restartAt <= now && stationGoesOn()) {
                    launch(port);
                }
            }
            redraw(false);
        }
        redraw(true);
    }

    int pollTimeout() const {
        // A worker that has closed its pipes but not yet been reaped is looked at again soon.
        for (const Port& port : ports) {
            if (port.worker && port.worker->output() < 0 && port.worker->errors() < 0) {
                return 10;
            }
        }
        auto timeout = terminal ? std::chrono::milliseconds(redrawInterval) : 1000ms;
        const auto now = Clock::now();
        for (const Port& port : ports) {
            if (port.restartAt) {
                timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(std::max(
                                                *port.restartAt - now, Clock::duration{})));
            }
        }
        return static_cast<int>(timeout.count());
    }

    void interrupt(int signal) {
        if (interruptedBy == 0) {
            interruptedBy = signal;
        }
        stopping = true;
        // Each worker releases its port as a single update does; a second signal ends the
        // workers still cleaning up, as it would end a single update.
        for (Port& port : ports) {
            if (port.worker) {
                port.worker->signal(signal);
            }
            port.restartAt.reset();
        }
    }

    void serve(Port& port) {
        if (!port.worker) {
            return;
        }
        if (port.worker->output() >= 0 &&
            !drain(port, port.worker->output(), port.outPending, true)) {
            port.worker->closeOutput();
        }
        if (port.worker->errors() >= 0 &&
            !drain(port, port.worker->errors(), port.errPending, false)) {
            port.worker->closeErrors();
        }
        if (port.worker->output() < 0 && port.worker->errors() < 0) {
            if (const auto status = port.worker->exitStatus()) {
                const bool bySignal = port.worker->killedBySignal();
                port.worker.reset();
                ended(port, *status, bySignal);
            }
        }
    }

    // Reads what fd has; false at its end.
    bool drain(Port& port, int fd, std::string& pending, bool events) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0) {
            return true;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return true;
        }
        if (n <= 0) {
            if (!pending.empty()) {
                line(port, pending, events);
                pending.clear();
            }
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n')) {
            const std::string text = pending.substr(0, end);
            pending.erase(0, end + 1);
            line(port, text, events);
        }
        return true;
    }

    void line(Port& port, const std::string& text, bool events) {
        const auto event = events ? parseEvent(text) : std::nullopt;
        if (!event) {
            if (port.stray.empty()) {
                port.stray = text;
            }
            // A station's port without a board says why only once, when its worker ends.
            if (port.boardOn) {
                show(port, text, stderr);
            }
            return;
        }
        using Kind = WorkerEvent::Kind;
        switch (event->kind) {
        case Kind::answered:
            boardAnswered(port);
            break;
        case Kind::progress:
            port.phase = Phase::writing;
            port.percent = static_cast<int>(event->number);
            progressLine(port, "progress");
            break;
        case Kind::verify:
            port.phase = Phase::verifying;
            port.percent = static_cast<int>(event->number);
            progressLine(port, "verify");
            break;
        case Kind::message:
            if (port.message.empty() || event->text.starts_with(msg::success) ||
                event->text.starts_with("Software upgrade failed.")) {
                port.message = event->text;
            }
            if (!port.boardOn) {
                break;
            }
            show(port, event->text,
                 event->text.starts_with(msg::success) || event->text.starts_with("Verified ")
                     ? stdout
                     : stderr);
            break;
        case Kind::part:
            port.partId = event->number;
            break;
        case Kind::bootCode:
            port.bootCode = event->text;
            break;
        case Kind::written:
            port.written = event->number;
            break;
        case Kind::verified:
            port.verified = event->number;
            break;
        }
    }

    void boardAnswered(Port& port) {
        port.boardOn = true;
        port.phase = Phase::writing;
        port.started = Clock::now();
        port.startedWall = std::chrono::system_clock::now();
        port.lostShown = false;
        show(port, "a board answered", stdout);
        ++boardsStarted;
        if (run.count && boardsStarted >= *run.count) {
            // Enough boards are under way: the ports still waiting take no more.
            stopping = true;
            for (Port& other : ports) {
                if (other.worker && !other.boardOn) {
                    other.worker->signal(SIGTERM);
                }
                other.restartAt.reset();
            }
        }
    }

    void progressLine(const Port& port, const char* word) {
        if (!terminal) {
            std::printf("%s: %s %d%%\n", port.name.c_str(), word, port.percent);
            std::fflush(stdout);
        }
    }

    void ended(Port& port, int status, bool bySignal) {
        port.phase = Phase::ended;
        if (!port.boardOn) {
            // A station's port that ended without a board: the worker was told to stop, or
            // the port could not be used. Tried again later; nothing is counted.
            if (stationGoesOn()) {
                if (!port.lostShown) {
                    show(port,
                         "the port cannot be used now (" +
                             firstLine(port.message.empty() ? port.stray : port.message) +
                             "); trying again",
                         stderr);
                    port.lostShown = true;
                }
                port.restartAt = Clock::now() + retryPause;
            }
            port.result = interruptedBy != 0 ? "interrupted" : "no board";
            return;
        }
        port.seconds = std::chrono::duration<double>(Clock::now() - port.started).count();
        port.result = resultOf(port, status, bySignal);
        if (port.result == "passed") {
            ++port.passed;
            ++passed;
        } else if (port.result != "interrupted") {
            ++port.failed;
            ++failed;
        }
        // The record first: a board reported as done is on the disk.
        keepRecord(port);
        if (run.station) {
            show(port,
                 port.result + " (" + std::to_string(port.passed) + " passed, " +
                     std::to_string(port.failed) + " failed here; " + std::to_string(passed) +
                     " passed, " + std::to_string(failed) + " failed in all)",
                 stdout);
        }
        ++boardsDone;
        if (run.count && boardsDone >= *run.count) {
            stopping = true;
        }
        if (stationGoesOn()) {
            port.restartAt = Clock::now();
        }
    }

    std::string resultOf(Port& port, int status, bool bySignal) {
        if (bySignal || status > 128) {
            if (interruptedBy != 0 && (status == 128 + interruptedBy || !bySignal)) {
                port.message = std::string(interruptedMessage);
                return "interrupted";
            }
            // Not a signal of ours: the worker crashed or was killed.
            port.message = "the worker ended by signal " + std::to_string(status - 128) +
                           " in the middle of the update; put the device into software "
                           "upgrade mode and run the update again.";
            show(port, port.message, stderr);
            worst = std::max<int>(worst, exitFatal);
            return "crashed";
        }
        if (port.message.empty()) {
            port.message = port.stray;
        }
        worst = std::max(worst, status);
        switch (status) {
        case exitSuccess:
            return "passed";
        case exitUpdateFailed:
            return "failed";
        case exitUsage:
            return "refused";
        default:
            return "fatal";
        }
    }

    void keepRecord(const Port& port) {
        if (run.logPath.empty() || recordBroken) {
            return;
        }
        BoardRecord entry;
        entry.time = port.startedWall;
        entry.host = host;
        entry.port = port.name;
        entry.device = port.device;
        entry.partId = port.partId;
        entry.partName = partName(port.partId);
        entry.bootCode = port.bootCode;
        entry.result = port.result;
        entry.message = port.message;
        entry.bytesWritten = port.written;
        entry.bytesVerified = port.verified;
        entry.seconds = port.seconds;
        entry.version = versionText;
        entry.imageSha256 = imageSha256;
        entry.portPassed = port.passed;
        entry.portFailed = port.failed;
        entry.passed = passed;
        entry.failed = failed;
        if (const std::string why = record.append(formatRecord(entry)); !why.empty()) {
            // The boards in flight finish; no new one starts without its record.
            std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s; stopping\n",
                         run.logPath.c_str(), why.c_str());
            recordBroken = true;
            stopping = true;
            for (Port& other : ports) {
                if (other.worker && !other.boardOn) {
                    other.worker->signal(SIGTERM);
                }
                other.restartAt.reset();
            }
            worst = std::max<int>(worst, exitFatal);
        }
    }

    // A message of a port's board: every line prefixed with the port.
    void show(const Port& port, const std::string& text, std::FILE* stream) {
        clearLiveLines();
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            std::fprintf(stream, "%s: %s\n", port.name.c_str(),
                         text.substr(start, end - start).c_str());
            start = end + 1;
        }
        std::fflush(stream);
        redraw(true);
    }

    void clearLiveLines() {
        if (terminal && liveLines > 0) {
            std::printf("\x1b[%dA\r\x1b[J", liveLines);
            liveLines = 0;
            std::fflush(stdout);
        }
    }

    std::string liveLine(const Port& port) const {
        const char* phase = "";
        switch (port.phase) {
        case Phase::starting:
            phase = "starting";
            break;
        case Phase::waiting:
            phase = "waiting";
            break;
        case Phase::writing:
            phase = "writing";
            break;
        case Phase::verifying:
            phase = "verifying";
            break;
        case Phase::ended:
            phase = port.result.c_str();
            break;
        }
        std::string bar(static_cast<std::size_t>(std::clamp(port.percent, 0, 100) * barWidth / 100),
                        '#');
        bar.resize(barWidth, '.');
        const double seconds =
            port.phase == Phase::ended
                ? port.seconds
                : std::chrono::duration<double>(Clock::now() - port.started).count();
        char text[256];
        std::snprintf(text, sizeof text, "%-20s %-11s [%s] %3d%%  %s", port.name.c_str(), phase,
                      bar.c_str(), port.percent, minutes(seconds).c_str());
        std::string line = text;
        if (run.station) {
            line += "  passed " + std::to_string(port.passed) + ", failed " +
                    std::to_string(port.failed);
        }
        return line;
    }

    void redraw(bool now) {
        if (!terminal) {
            return;
        }
        const auto at = Clock::now();
        if (!now && at - lastRedraw < redrawInterval) {
            return;
        }
        lastRedraw = at;
        clearLiveLines();
        for (const Port& port : ports) {
            std::printf("%s\n", liveLine(port).c_str());
        }
        liveLines = static_cast<int>(ports.size());
        std::fflush(stdout);
    }

    int finish() {
        clearLiveLines();
        if (run.station) {
            std::printf("%-20s %7s %7s\n", "port", "passed", "failed");
            for (const Port& port : ports) {
                std::printf("%-20s %7u %7u\n", port.name.c_str(), port.passed, port.failed);
            }
            std::printf("%-20s %7u %7u\n", "all ports", passed, failed);
        } else {
            std::printf("%-20s %-11s %6s  %s\n", "port", "result", "time", "message");
            for (const Port& port : ports) {
                std::printf("%-20s %-11s %6s  %s\n", port.name.c_str(), port.result.c_str(),
                            minutes(port.seconds).c_str(), firstLine(port.message).c_str());
            }
        }
        std::vector<std::string> incomplete;
        for (const Port& port : ports) {
            if (port.result == "interrupted" && port.boardOn) {
                incomplete.push_back(port.name);
            }
        }
        if (!incomplete.empty()) {
            std::string list;
            for (const std::string& name : incomplete) {
                list += (list.empty() ? "" : ", ") + name;
            }
            std::printf("Left incomplete: %s\n", list.c_str());
        }
        std::fflush(stdout);
        if (interruptedBy != 0) {
            return 128 + interruptedBy;
        }
        return worst;
    }

    const SupervisedRun& run;
    const bool terminal;
    std::vector<Port> ports;
    RecordFile record;
    bool recordBroken = false;
    std::string host;
    std::string imageSha256;
    int interruptedBy = 0;
    bool stopping = false;
    int worst = exitSuccess;
    unsigned passed = 0;
    unsigned failed = 0;
    unsigned boardsStarted = 0;
    unsigned boardsDone = 0;
    int liveLines = 0;
    Clock::time_point lastRedraw{};
};

} // namespace

int runSupervised(const SupervisedRun& run) {
    Supervisor supervisor(run);
    return supervisor.start();
}

} // namespace sparwick::cli
