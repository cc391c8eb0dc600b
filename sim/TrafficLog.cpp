#include "sim/TrafficLog.h"

#include <cerrno>
#include <system_error>

namespace sparwick::sim {

namespace {

std::string escaped(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

} // namespace

TrafficLog::TrafficLog(const std::string& path)
    : file(std::fopen(path.c_str(), "w"))
    , start(std::chrono::steady_clock::now()) {
    if (file == nullptr) {
        throw std::system_error(errno, std::generic_category(), "cannot write log " + path);
    }
}

TrafficLog::~TrafficLog() {
    std::fclose(file);
}

void TrafficLog::received(std::string_view line) {
    write('<', line, true);
}

void TrafficLog::sent(std::string_view bytes) {
    write('>', bytes, true);
}

void TrafficLog::event(std::string_view text) {
    write('*', text, false);
}

void TrafficLog::write(char direction, std::string_view text, bool escape) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const std::string body = escape ? escaped(text) : std::string(text);
    // Flushed record by record, so that the log is complete whenever the device stops.
    std::fprintf(file, "%12.6f %c %s\n", elapsed.count(), direction, body.c_str());
    std::fflush(file);
}

} // namespace sparwick::sim
