#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::cli {

// One board's entry in the record a production line keeps (--log): one JSON object on one
// line, so that the file is JSON Lines and every board's entry stands on its own.
struct BoardRecord {
    std::chrono::system_clock::time_point time; // when the board's update began
    std::string host;
    // As given on the command line, and the device it stands for: bytes that are not UTF-8
    // are written as \xNN and a backslash as \\, so that the name can be recovered.
    std::string port;
    std::string device;
    std::uint32_t partId = 0; // 0: the update did not get as far as identifying it
    std::string partName;
    std::optional<std::string> bootCode;
    std::string result; // passed, failed, fatal, interrupted, crashed; current, differs
    std::string message;
    std::uint32_t bytesWritten = 0;
    std::uint32_t bytesVerified = 0;
    double seconds = 0;
    std::string version;
    std::string imageSha256;
    // How the board was put into ISP mode: the wiring its RESET and P0.14 were driven
    // through (--reset), or nothing when by hand.
    std::optional<std::string> reset;
    // The station's counts once this board is counted: this port's and all ports'.
    unsigned portPassed = 0;
    unsigned portFailed = 0;
    unsigned passed = 0;
    unsigned failed = 0;
    // A check's entry (--check) ends with the offsets of the image's 4096-byte blocks that
    // differ in the board's flash: none when it is current, nothing when the check did not
    // get that far. An update's entry has no such field.
    bool check = false;
    std::optional<std::vector<std::uint32_t>> differing;
};

// The record as one line of JSON, without the line end.
std::string formatRecord(const BoardRecord& record);

// text as a JSON string, quotes included; bytes that are not valid UTF-8 are replaced, so
// that a device's garbled reply cannot break the line.
std::string jsonString(std::string_view text);

// "2026-12-09T10:53:04.120Z"
std::string isoTimeUtc(std::chrono::system_clock::time_point time);

} // namespace sparwick::cli
