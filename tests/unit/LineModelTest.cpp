// The production line's model without a process: sequences of workers' events and ends,
// and the results, counts and exit status each must give.
#include "cli/LineModel.h"

#include <gtest/gtest.h>

namespace sparwick::cli {
namespace {

using namespace std::chrono_literals;
using Kind = WorkerEvent::Kind;
using Clock = LineModel::Clock;

// One thing that happens on the line: a worker's event, its end, or an interruption.
struct Happening {
    std::size_t port = 0;
    std::optional<WorkerEvent> event;
    std::optional<LineModel::WorkerEnd> end;
    int interruption = 0;
};

Happening said(std::size_t port, Kind kind, std::string text = {}) {
    WorkerEvent event;
    event.kind = kind;
    event.text = std::move(text);
    return {port, event, std::nullopt, 0};
}

Happening outcome(std::size_t port, UpdateEnd end, UpdateStep step) {
    WorkerEvent event;
    event.kind = Kind::outcome;
    event.outcome.end = end;
    event.outcome.step = step;
    event.outcome.message = "the board's message";
    return {port, event, std::nullopt, 0};
}

Happening checked(std::size_t port, std::vector<std::uint32_t> differing) {
    WorkerEvent event;
    event.kind = Kind::checked;
    event.blocks = std::move(differing);
    return {port, event, std::nullopt, 0};
}

Happening exited(std::size_t port, int status, bool bySignal = false, std::string how = {}) {
    return {port, std::nullopt, LineModel::WorkerEnd{status, bySignal, std::move(how)}, 0};
}

Happening interrupted(int signal) {
    return {0, std::nullopt, std::nullopt, signal};
}

struct Case {
    const char* fault;
    std::size_t ports;
    bool station;
    std::optional<unsigned> count;
    std::vector<Happening> happenings;
    std::vector<std::string> results; // per port
    unsigned passed;
    unsigned failed;
    int exitStatus;
    unsigned counted;                 // boards the record and the station's line get
    std::string notice;               // a line some end must show, or none
    std::vector<std::size_t> stopped; // ports the station stops
};

// Plays the case's happenings on a model of its ports and compares what it gives.
void play(const Case& c, bool checking) {
    SCOPED_TRACE(c.fault);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < c.ports; ++i) {
        names.push_back("port" + std::to_string(i));
    }
    LineModel model(names, c.station, c.count, checking);
    Clock::time_point now{};
    for (std::size_t i = 0; i < c.ports; ++i) {
        model.launched(i, now);
    }
    unsigned counted = 0;
    std::string notices;
    std::vector<std::size_t> stopped;
    for (const Happening& h : c.happenings) {
        now += 1s;
        if (h.interruption != 0) {
            model.interrupt(h.interruption);
        } else if (h.event) {
            for (const std::size_t port : model.event(h.port, *h.event, now)) {
                stopped.push_back(port);
            }
        } else {
            const LineModel::Ending ending = model.ended(h.port, *h.end, now);
            counted += ending.counted ? 1 : 0;
            notices += ending.notice;
        }
    }
    std::vector<std::string> results;
    for (const LineModel::Port& port : model.ports()) {
        results.emplace_back(LineModel::wordOf(port.result));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(model.passed(), c.passed);
    EXPECT_EQ(model.failed(), c.failed);
    EXPECT_EQ(model.exitStatus(), c.exitStatus);
    EXPECT_EQ(counted, c.counted);
    EXPECT_EQ(stopped, c.stopped);
    if (c.notice.empty()) {
        EXPECT_EQ(notices, "");
    } else {
        EXPECT_NE(notices.find(c.notice), std::string::npos) << notices;
    }
    if (checking) {
        // A check writes nothing: it leaves no board incomplete.
        EXPECT_EQ(model.incomplete(), std::vector<std::string>{});
    }
}

TEST(LineModel, EventSequencesGiveTheirResultsCountsAndExitStatus) {
    const std::vector<Case> cases{
        {"one board passes, one fails",
         2,
         false,
         std::nullopt,
         {outcome(0, UpdateEnd::passed, UpdateStep::starting), exited(0, 0),
          outcome(1, UpdateEnd::failed, UpdateStep::writing), exited(1, 1)},
         {"passed", "failed"},
         1,
         1,
         1,
         2,
         "",
         {}},
        {"the outcome, not the exit status alone, tells a refusal",
         1,
         false,
         std::nullopt,
         {outcome(0, UpdateEnd::refused, UpdateStep::loading), exited(0, 2)},
         {"refused"},
         0,
         1,
         2,
         1,
         "",
         {}},
        {"a worker killed in the middle of its update",
         1,
         false,
         std::nullopt,
         {said(0, Kind::step, "writing"), exited(0, 137, true, "by signal 9")},
         {"crashed"},
         0,
         1,
         3,
         1,
         "the worker ended by signal 9 in the middle of the update",
         {}},
        {"Ctrl-C while a board is written",
         1,
         false,
         std::nullopt,
         {said(0, Kind::step, "writing"), interrupted(2), exited(0, 130)},
         {"interrupted"},
         0,
         0,
         130,
         1,
         "",
         {}},
        {"a station stops a port whose board answered too late, before its erase",
         2,
         true,
         1,
         {said(0, Kind::answered), said(1, Kind::answered), said(1, Kind::step, "identifying"),
          exited(1, 143), outcome(0, UpdateEnd::passed, UpdateStep::starting), exited(0, 0)},
         {"passed", "no board"},
         1,
         0,
         0,
         1,
         "",
         {1}},
        {"a station stops a port whose board had begun its erase",
         2,
         true,
         1,
         {said(0, Kind::answered), said(1, Kind::answered), said(1, Kind::step, "erasing"),
          exited(1, 143), outcome(0, UpdateEnd::passed, UpdateStep::starting), exited(0, 0)},
         {"passed", "interrupted"},
         1,
         0,
         1,
         2,
         "",
         {1}},
        {"a station's board fails at the sync word after answering",
         1,
         true,
         1,
         {said(0, Kind::answered), outcome(0, UpdateEnd::failed, UpdateStep::synchronizing),
          exited(0, 1)},
         {"failed"},
         0,
         1,
         1,
         1,
         "",
         {}},
        {"a station's waiting worker is killed",
         1,
         true,
         std::nullopt,
         {exited(0, 137, true, "by signal 9")},
         {"no board"},
         0,
         0,
         0,
         0,
         "the port cannot be used now (the worker ended by signal 9); trying again",
         {}},
    };
    for (const Case& c : cases) {
        play(c, false);
    }
}

// A check's finding, not the worker's status alone, gives its board's result; it counts
// as a pass when current and as a failure when it differs.
TEST(LineModel, ChecksGiveCurrentOrDiffersAndTheLinesExitStatus) {
    // A line without a station, each of its ports' boards counted.
    const auto line = [](const char* fault, std::vector<Happening> happenings,
                         std::vector<std::string> results, unsigned passed, unsigned failed,
                         int exitStatus, std::string notice) {
        const auto ports = results.size();
        return Case{fault,   ports,  false,  std::nullopt, std::move(happenings),
                    results, passed, failed, exitStatus,   static_cast<unsigned>(ports),
                    notice,  {}};
    };
    const auto finding = [](std::size_t port, std::vector<std::uint32_t> differing) {
        return std::vector<Happening>{checked(port, differing),
                                      outcome(port, UpdateEnd::passed, UpdateStep::identifying),
                                      exited(port, differing.empty() ? 0 : 1)};
    };
    auto both = finding(0, {});
    for (const Happening& h : finding(1, {0x5000})) {
        both.push_back(h);
    }
    const std::vector<Case> cases{
        line("one board current, one differs", both, {"current", "differs"}, 1, 1, 1, ""),
        line("every board current", finding(0, {}), {"current"}, 1, 0, 0, ""),
        line("a worker that passes without the check's finding",
             {outcome(0, UpdateEnd::passed, UpdateStep::identifying), exited(0, 0)}, {"fatal"}, 0,
             1, 3, ""),
        line("a worker killed in the middle of its check",
             {said(0, Kind::verify), exited(0, 137, true, "by signal 9")}, {"crashed"}, 0, 1, 3,
             "by signal 9 in the middle of the check; nothing was written"),
        line("Ctrl-C while a board is read back",
             {said(0, Kind::verify), interrupted(2), exited(0, 130)}, {"interrupted"}, 0, 0, 130,
             ""),
    };
    for (const Case& c : cases) {
        play(c, true);
    }
}

// A station's port that could not be used is tried again after its pause, and not before;
// once the line stops, never.
TEST(LineModel, AStationRetriesAPortItCouldNotUseAfterItsPause) {
    LineModel model({"port0"}, true, std::nullopt);
    const Clock::time_point start{};
    model.launched(0, start);
    model.ended(0, {2, false, {}}, start);
    EXPECT_TRUE(model.dueForRestart(start + 1s).empty());
    EXPECT_EQ(model.dueForRestart(start + 2s), std::vector<std::size_t>{0});
    model.interrupt(2);
    EXPECT_TRUE(model.dueForRestart(start + 3s).empty());
    EXPECT_FALSE(model.running());
}

} // namespace
} // namespace sparwick::cli
