#include "IspTestClient.h"

#include <stdexcept>

namespace sparwick::sim::test {

std::string IspTestClient::collect(std::string_view bytes, std::chrono::milliseconds quiet) {
    send(bytes);
    return readUntilQuiet(quiet);
}

std::string IspTestClient::exchange(std::string_view text, std::string_view expected) {
    send(text);
    return read(expected.size());
}

void IspTestClient::synchronize(bool echoOff) {
    const auto check = [](const std::string& got, std::string_view want) {
        if (got != want) {
            throw std::runtime_error("handshake: got '" + got + "'");
        }
    };
    check(exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    check(exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"), "Synchronized\r\nOK\r\n");
    check(exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
    if (echoOff) {
        check(exchange("A 0\r\n", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
    }
}

void IspTestClient::unlock() {
    if (exchange("U 23130\r\n", "0\r\n") != "0\r\n") {
        throw std::runtime_error("unlock refused");
    }
}

} // namespace sparwick::sim::test
