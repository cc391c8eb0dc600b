#include "tests/support/ScriptedPeer.h"

#include <chrono>
#include <memory>

namespace sparwick::test {

ScriptedPeer::ScriptedPeer(FarEnd& line, Responder respond)
    : farEnd(line)
    , responder(std::move(respond))
    , worker([this] { run(); }) {}

ScriptedPeer::~ScriptedPeer() {
    stopping = true;
    worker.join();
}

std::string ScriptedPeer::received() const {
    std::scoped_lock lock(mutex);
    return log;
}

void ScriptedPeer::run() {
    std::string pending;
    while (!stopping) {
        std::string more = farEnd.receive(4096, std::chrono::milliseconds(5));
        if (!more.empty()) {
            std::scoped_lock lock(mutex);
            log += more;
        }
        pending += more;
        for (;;) {
            Answer answer = responder(pending);
            if (answer.consumed == 0) {
                break;
            }
            pending.erase(0, answer.consumed);
            farEnd.send(answer.reply);
            if (answer.hangUp) {
                farEnd.hangUp();
                return;
            }
        }
    }
}

ScriptedPeer::Responder ScriptedPeer::script(std::vector<Step> steps) {
    auto state = std::make_shared<std::pair<std::vector<Step>, std::size_t>>(std::move(steps), 0);
    return [state](std::string_view pending) -> Answer {
        auto& [all, next] = *state;
        if (next >= all.size()) {
            return {};
        }
        const Step& step = all[next];
        if (pending.size() < step.expect.size()) {
            return {};
        }
        if (pending.substr(0, step.expect.size()) != step.expect) {
            next = all.size(); // off script: silence from here on
            return {};
        }
        ++next;
        return {step.expect.size(), step.reply};
    };
}

ScriptedPeer::Responder ScriptedPeer::acceptEverything() {
    return [](std::string_view pending) -> Answer {
        auto end = pending.find("\r\n");
        if (end == std::string_view::npos) {
            return {};
        }
        std::string_view line = pending.substr(0, end);
        Answer answer{end + 2, {}};
        if (!line.empty() && line[0] >= '0' && line[0] <= '9') {
            answer.reply = "OK\r\n";
        } else if (line.size() >= 2 && line[1] == ' ') {
            answer.reply = "0\r\n";
        }
        return answer;
    };
}

} // namespace sparwick::test
