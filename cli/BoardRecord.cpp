#include "cli/BoardRecord.h"

#include <cstdio>
#include <ctime>

namespace sparwick::cli {
namespace {

// The length of the UTF-8 sequence that starts text, or 0 when it is not a valid one.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// A name whose bytes must come back as they were: a byte that is not UTF-8 is written as
// \xNN and a backslash as two, so that the name is that text unescaped.
std::string recoverableText(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x",
                          static_cast<unsigned>(static_cast<unsigned char>(text.front())));
            out += escaped;
            text.remove_prefix(1);
            continue;
        }
        out += text.front() == '\\' ? "\\\\" : std::string(text.substr(0, length));
        text.remove_prefix(length);
    }
    return out;
}

} // namespace

std::string jsonString(std::string_view text) {
    std::string json = "\"";
    while (!text.empty()) {
        const char c = text.front();
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            json += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                json += escaped;
            } else {
                json.append(text.substr(0, length));
            }
        }
        text.remove_prefix(length);
    }
    return json + "\"";
}

std::string isoTimeUtc(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &whole);
#else
    gmtime_r(&whole, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis.count()));
    return text;
}

std::string formatRecord(const BoardRecord& r) {
    std::string line = "{";
    const auto field = [&line](std::string_view name, const std::string& json) {
        if (line.size() > 1) {
            line += ",";
        }
        line += jsonString(name) + ":" + json;
    };
    field("time", jsonString(isoTimeUtc(r.time)));
    field("host", jsonString(r.host));
    field("port", jsonString(recoverableText(r.port)));
    field("device", jsonString(recoverableText(r.device)));
    field("part_id", r.partId == 0 ? "null" : std::to_string(r.partId));
    field("part_name", r.partId == 0 ? "null" : jsonString(r.partName));
    field("boot_code", r.bootCode ? jsonString(*r.bootCode) : "null");
    field("result", jsonString(r.result));
    field("message", jsonString(r.message));
    field("bytes_written", std::to_string(r.bytesWritten));
    field("bytes_verified", std::to_string(r.bytesVerified));
    field("seconds", number(r.seconds));
    field("version", jsonString(r.version));
    field("image_sha256", jsonString(r.imageSha256));
    field("reset", r.reset ? jsonString(*r.reset) : "null");
    field("port_passed", std::to_string(r.portPassed));
    field("port_failed", std::to_string(r.portFailed));
    field("passed", std::to_string(r.passed));
    field("failed", std::to_string(r.failed));
    if (r.check) {
        std::string offsets = r.differing ? "[" : "null";
        for (std::size_t i = 0; r.differing && i < r.differing->size(); ++i) {
            offsets += (i == 0 ? "" : ",") + std::to_string((*r.differing)[i]);
        }
        field("differing", offsets + (r.differing ? "]" : ""));
    }
    return line + "}";
}

} // namespace sparwick::cli
