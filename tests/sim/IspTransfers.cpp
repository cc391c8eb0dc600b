#include "IspTransfers.h"

#include "TestUuencoder.h"

#include <string>

namespace sparwick::sim::test {

bool writeToRam(IspTestClient& client, std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::string command =
        "W " + std::to_string(address) + " " + std::to_string(data.size()) + "\r\n";
    if (client.exchange(command, "0\r\n") != "0\r\n") {
        return false;
    }
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t groupStart = offset;
        std::string lines;
        for (int line = 0; line < 20 && offset < data.size(); ++line) {
            const std::size_t length = std::min<std::size_t>(45, data.size() - offset);
            lines += TestUuencoder::encodeLine(data.subspan(offset, length)) + "\r\n";
            offset += length;
        }
        client.send(lines);
        const std::uint32_t sum = TestUuencoder::sum(data.subspan(groupStart, offset - groupStart));
        if (client.exchange(std::to_string(sum) + "\r\n", "OK\r\n") != "OK\r\n") {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> readMemory(IspTestClient& client, std::uint32_t address,
                                     std::uint32_t count) {
    client.send("R " + std::to_string(address) + " " + std::to_string(count) + "\r\n");
    if (client.read(3) != "0\r\n") {
        return {};
    }
    std::vector<std::uint8_t> data;
    std::string pending;
    // Reads one CRLF-terminated line.
    const auto readLine = [&]() -> std::string {
        for (;;) {
            if (const std::size_t end = pending.find("\r\n"); end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                return line;
            }
            const std::string more = client.readSome(std::chrono::milliseconds{1000});
            if (more.empty()) {
                return "\x04";
            }
            pending += more;
        }
    };
    while (data.size() < count) {
        std::vector<std::uint8_t> group;
        for (int line = 0; line < 20 && data.size() + group.size() < count; ++line) {
            const std::vector<std::uint8_t> bytes = TestUuencoder::decodeLine(readLine());
            if (bytes.empty()) {
                return {};
            }
            group.insert(group.end(), bytes.begin(), bytes.end());
        }
        if (readLine() != std::to_string(TestUuencoder::sum(group))) {
            return {};
        }
        client.send("OK\r\n");
        data.insert(data.end(), group.begin(), group.end());
    }
    return data;
}

} // namespace sparwick::sim::test
