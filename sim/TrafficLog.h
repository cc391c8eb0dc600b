#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace sparwick::sim {

// A record of the conversation: every line the device receives ("<"), every reply it
// sends (">", echo left out), and what happens to the device itself ("*"), each with the
// seconds since the device started. Control bytes are written as escapes.
class TrafficLog {
public:
    // Opens (truncates) the file; std::system_error when it cannot be written.
    explicit TrafficLog(const std::string& path);
    ~TrafficLog();
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    void received(std::string_view line);
    void sent(std::string_view bytes);
    void event(std::string_view text);

private:
    void write(char direction, std::string_view text, bool escape);

    std::FILE* file = nullptr;
    std::chrono::steady_clock::time_point start;
};

} // namespace sparwick::sim
