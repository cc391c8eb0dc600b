#include "tests/wine/ScriptedDevice.h"

#include <map>
#include <sstream>
#include <stdexcept>
#include <windows.h>

namespace sparwick::test {
namespace {

// The device answers every command at once; this only bounds a broken harness.
constexpr DWORD controlReplyMs = 10000;

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

std::string unhex(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    }
    return out;
}

} // namespace

ScriptedDevice::ScriptedDevice(const std::string& controlPort)
    : control(::CreateFileA(("\\\\.\\" + controlPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (control == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("the scripted device's control line " + controlPort +
                                 " does not open");
    }
    // Whole replies, however slowly they come, up to the bound.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = controlReplyMs;
    timeouts.WriteTotalTimeoutConstant = controlReplyMs;
    ::SetCommTimeouts(control, &timeouts);
}

ScriptedDevice::~ScriptedDevice() {
    ::CloseHandle(control);
}

std::string ScriptedDevice::command(const std::string& line) {
    const std::string request = line + "\n";
    DWORD written = 0;
    if (!::WriteFile(control, request.data(), static_cast<DWORD>(request.size()), &written,
                     nullptr) ||
        written != request.size()) {
        throw std::runtime_error("the scripted device's control line takes no command");
    }
    std::string reply;
    for (;;) {
        char byte = 0;
        DWORD got = 0;
        if (!::ReadFile(control, &byte, 1, &got, nullptr) || got == 0) {
            throw std::runtime_error("the scripted device did not answer: " + line);
        }
        if (byte == '\n') {
            break;
        }
        reply += byte;
    }
    if (reply.rfind("error", 0) == 0) {
        throw std::runtime_error("the scripted device refused " + line + ": " + reply);
    }
    return reply;
}

void ScriptedDevice::send(std::string_view bytes) {
    command("send " + hex(bytes));
}

void ScriptedDevice::sendWithPause(std::string_view first, std::chrono::milliseconds pause,
                                   std::string_view rest) {
    command("send " + hex(first) + " " + std::to_string(pause.count()) + " " + hex(rest));
}

std::string ScriptedDevice::received(std::size_t count, std::chrono::milliseconds within) {
    const std::string reply =
        command("receive " + std::to_string(count) + " " + std::to_string(within.count()));
    return unhex(std::string_view(reply).substr(reply.find(' ') + 1));
}

std::size_t ScriptedDevice::queued(std::size_t count, std::chrono::milliseconds within) {
    const std::string reply =
        command("queued " + std::to_string(count) + " " + std::to_string(within.count()));
    return static_cast<std::size_t>(std::stoul(reply.substr(reply.find(' ') + 1)));
}

LineSettings ScriptedDevice::lineSettings() {
    std::istringstream words(command("line"));
    std::map<std::string, std::string> fields;
    std::string word;
    while (words >> word) {
        if (auto equals = word.find('='); equals != std::string::npos) {
            fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    LineSettings line;
    line.baud = static_cast<std::uint32_t>(std::stoul(fields.at("baud")));
    line.dataBits = std::stoi(fields.at("bits"));
    line.parity = fields.at("parity");
    line.stopBits = std::stoi(fields.at("stop"));
    line.xonXoffOutput = fields.at("ixon") == "1";
    line.xonXoffInput = fields.at("ixoff") == "1";
    line.hardwareHandshake = fields.at("crtscts") == "1";
    return line;
}

} // namespace sparwick::test
