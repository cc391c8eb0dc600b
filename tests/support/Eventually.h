#pragma once

#include <chrono>
#include <thread>

namespace sparwick::test {

// Waits until condition() holds, looking again every step, for at most limit; whether it
// held. For what another thread or process does on its own time: a test never waits a
// fixed while for it.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit,
                std::chrono::milliseconds step = std::chrono::milliseconds{2}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
}

} // namespace sparwick::test
