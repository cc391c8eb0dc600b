#include "cli/LineModel.h"

#include "cli/InterruptScope.h"
#include "cli/Update.h"

#include <algorithm>

namespace sparwick::cli {
namespace {

using namespace std::chrono_literals;

// A station's port whose worker ended without a board (the adapter is gone, the port
// busy) is tried again after this long.
constexpr auto retryPause = 2s;

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

LineModel::Result resultOfUpdate(UpdateEnd end) {
    switch (end) {
    case UpdateEnd::passed:
        return LineModel::Result::passed;
    case UpdateEnd::failed:
        return LineModel::Result::failed;
    case UpdateEnd::refused:
        return LineModel::Result::refused;
    case UpdateEnd::interrupted:
        return LineModel::Result::interrupted;
    case UpdateEnd::fatal:
        break;
    }
    return LineModel::Result::fatal;
}

int statusOf(LineModel::Result result) {
    switch (result) {
    case LineModel::Result::passed:
    case LineModel::Result::current:
    case LineModel::Result::interrupted:
        return exitSuccess;
    case LineModel::Result::failed:
    case LineModel::Result::differs:
        return exitUpdateFailed;
    case LineModel::Result::refused:
        return exitUsage;
    default:
        return exitFatal;
    }
}

} // namespace

LineModel::LineModel(std::vector<std::string> names, bool station, std::optional<unsigned> boards,
                     bool checking)
    : isStation(station)
    , isCheck(checking)
    , count(boards) {
    for (std::string& name : names) {
        Port port;
        port.name = std::move(name);
        all.push_back(std::move(port));
    }
}

void LineModel::launched(std::size_t index, Clock::time_point now) {
    Port& port = all[index];
    Port fresh;
    fresh.name = std::move(port.name);
    fresh.phase = isStation ? Phase::waiting : Phase::starting;
    fresh.boardOn = !isStation;
    fresh.started = now;
    fresh.passed = port.passed;
    fresh.failed = port.failed;
    fresh.lostShown = port.lostShown;
    fresh.workerRuns = true;
    port = std::move(fresh);
}

void LineModel::launchFailed(std::size_t index, Clock::time_point now) {
    Port& port = all[index];
    port.workerRuns = false;
    port.phase = Phase::ended;
    port.result = Result::notStarted;
    port.restartAt = now + retryPause;
    worst = std::max<int>(worst, exitFatal);
}

std::vector<std::size_t> LineModel::event(std::size_t index, const WorkerEvent& event,
                                          Clock::time_point now) {
    Port& port = all[index];
    std::vector<std::size_t> toStop;
    using Kind = WorkerEvent::Kind;
    switch (event.kind) {
    case Kind::answered:
        boardAnswered(port, now, toStop);
        break;
    case Kind::step:
        port.step = updateStepNamed(event.text).value_or(port.step);
        break;
    case Kind::progress:
    case Kind::verify:
        port.phase = event.kind == Kind::progress ? Phase::writing
                     : isCheck                    ? Phase::checking
                                                  : Phase::verifying;
        port.percent = static_cast<int>(std::min<std::uint32_t>(event.number, 100));
        break;
    case Kind::message:
        break;
    case Kind::part:
        port.partId = event.number;
        break;
    case Kind::bootCode:
        port.bootCode = event.text;
        break;
    case Kind::written:
        port.written = event.number;
        break;
    case Kind::verified:
        port.verified = event.number;
        break;
    case Kind::outcome:
        port.outcome = event.outcome;
        break;
    case Kind::checked:
        port.differing = event.blocks;
        break;
    }
    return toStop;
}

void LineModel::boardAnswered(Port& port, Clock::time_point now, std::vector<std::size_t>& toStop) {
    port.boardOn = true;
    port.phase = Phase::writing;
    port.started = now;
    port.lostShown = false;
    if (port.stoppedByStation) {
        return; // told to stop before this was known: it is not one of the count's boards
    }
    ++boardsStarted;
    if (count && boardsStarted >= *count) {
        toStop = stopWaitingPorts();
    }
}

void LineModel::strayLine(std::size_t index, const std::string& text) {
    if (all[index].stray.empty()) {
        all[index].stray = text;
    }
}

LineModel::Ending LineModel::ended(std::size_t index, const WorkerEnd& end, Clock::time_point now) {
    Port& port = all[index];
    port.workerRuns = false;
    port.phase = Phase::ended;
    Ending ending;
    ending.settingsToRestore = end.bySignal;
    // A board the station stopped before its erase keeps the flash it had: it was never one
    // of the line's boards.
    const bool untouched = !port.touchedFlash();
    if (!port.boardOn || (port.stoppedByStation && untouched)) {
        if (!port.boardOn && goesOn()) {
            // A station's port that ended without a board: the port could not be used.
            std::string reason = port.outcome ? port.outcome->message : port.stray;
            if (reason.empty()) {
                reason = "the worker ended " +
                         (end.how.empty() ? "with status " + std::to_string(end.status) : end.how);
            }
            if (!port.lostShown) {
                ending.notice =
                    "the port cannot be used now (" + firstLine(reason) + "); trying again";
                port.lostShown = true;
            }
            port.restartAt = now + retryPause;
        }
        port.result = interruption != 0 ? Result::interrupted : Result::noBoard;
        return ending;
    }
    port.seconds = std::chrono::duration<double>(now - port.started).count();
    port.result = resultOf(port, end);
    if (port.result == Result::crashed) {
        ending.notice = port.message;
    }
    if (port.result == Result::passed || port.result == Result::current) {
        ++port.passed;
        ++passedInAll;
    } else if (port.result != Result::interrupted) {
        ++port.failed;
        ++failedInAll;
    }
    ending.counted = true;
    ++boardsDone;
    if (count && boardsDone >= *count) {
        stopping = true;
    }
    if (goesOn()) {
        port.restartAt = now;
    }
    return ending;
}

LineModel::Result LineModel::resultOf(Port& port, const WorkerEnd& end) {
    if (end.bySignal || end.status > 128) {
        const bool ours =
            (interruption != 0 && (end.status == 128 + interruption || !end.bySignal)) ||
            (port.stoppedByStation && !end.bySignal);
        if (ours) {
            port.message = std::string(isCheck ? checkInterruptedMessage : interruptedMessage);
            if (interruption == 0) {
                // The station's own stop left a board part-way: not a pass.
                worst = std::max<int>(worst, exitUpdateFailed);
            }
            return Result::interrupted;
        }
        port.message = "the worker ended " +
                       (end.how.empty() ? "with status " + std::to_string(end.status) : end.how) +
                       (isCheck ? " in the middle of the check; nothing was written: put the "
                                  "device into software upgrade mode and check it again."
                                : " in the middle of the update; put the device into software "
                                  "upgrade mode and run the update again.");
        worst = std::max<int>(worst, exitFatal);
        return Result::crashed;
    }
    worst = std::max(worst, end.status);
    Result result = Result::fatal;
    if (!port.outcome) {
        port.message = port.stray;
        result = end.status == exitSuccess        ? Result::passed
                 : end.status == exitUpdateFailed ? Result::failed
                 : end.status == exitUsage        ? Result::refused
                                                  : Result::fatal;
    } else {
        port.message = port.outcome->message;
        result = resultOfUpdate(port.outcome->end);
    }
    if (isCheck && result == Result::passed) {
        // Only the check's finding says what the board holds: without it, nothing is known.
        if (!port.differing) {
            port.message = "the worker ended without the check's finding" +
                           (port.message.empty() ? "" : " (" + port.message + ")");
            worst = std::max<int>(worst, exitFatal);
            return Result::fatal;
        }
        result = port.differing->empty() ? Result::current : Result::differs;
    }
    worst = std::max(worst, statusOf(result));
    return result;
}

bool LineModel::interrupt(int signal) {
    const bool again = interruption != 0;
    if (!again) {
        interruption = signal;
    }
    stopping = true;
    for (Port& port : all) {
        port.restartAt.reset();
    }
    return again;
}

std::vector<std::size_t> LineModel::recordFailed() {
    worst = std::max<int>(worst, exitFatal);
    return stopWaitingPorts();
}

// The ports still waiting for a board take none: they are stopped as an interruption
// would stop them, and nothing is counted for them.
std::vector<std::size_t> LineModel::stopWaitingPorts() {
    stopping = true;
    std::vector<std::size_t> toStop;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].workerRuns && !all[i].boardOn) {
            all[i].stoppedByStation = true;
            toStop.push_back(i);
        }
        all[i].restartAt.reset();
    }
    return toStop;
}

bool LineModel::running() const {
    return std::any_of(all.begin(), all.end(), [this](const Port& port) {
        return port.workerRuns || (goesOn() && port.restartAt.has_value());
    });
}

std::vector<std::size_t> LineModel::dueForRestart(Clock::time_point now) const {
    std::vector<std::size_t> due;
    for (std::size_t i = 0; i < all.size() && goesOn(); ++i) {
        if (all[i].restartAt && *all[i].restartAt <= now) {
            due.push_back(i);
        }
    }
    return due;
}

std::optional<LineModel::Clock::time_point> LineModel::nextRestart() const {
    std::optional<Clock::time_point> next;
    for (const Port& port : all) {
        if (port.restartAt && (!next || *port.restartAt < *next)) {
            next = port.restartAt;
        }
    }
    return next;
}

std::vector<std::string> LineModel::incomplete() const {
    std::vector<std::string> names;
    for (const Port& port : all) {
        // A check writes nothing: its board is as it was.
        if (port.result == Result::interrupted && port.boardOn && !isCheck) {
            names.push_back(port.name);
        }
    }
    return names;
}

int LineModel::exitStatus() const {
    return interruption != 0 ? 128 + interruption : worst;
}

std::string_view LineModel::wordOf(Result result) {
    switch (result) {
    case Result::none:
        return "";
    case Result::passed:
        return "passed";
    case Result::failed:
        return "failed";
    case Result::fatal:
        return "fatal";
    case Result::refused:
        return "refused";
    case Result::interrupted:
        return "interrupted";
    case Result::crashed:
        return "crashed";
    case Result::notStarted:
        return "not started";
    case Result::noBoard:
        return "no board";
    case Result::current:
        return "current";
    case Result::differs:
        return "differs";
    }
    return "";
}

std::string_view LineModel::phaseWord(const Port& port) {
    switch (port.phase) {
    case Phase::starting:
        return "starting";
    case Phase::waiting:
        return "waiting";
    case Phase::writing:
        return "writing";
    case Phase::verifying:
        return "verifying";
    case Phase::checking:
        return "checking";
    case Phase::ended:
        break;
    }
    return wordOf(port.result);
}

} // namespace sparwick::cli
