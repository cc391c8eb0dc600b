#include "cli/SignalPipe.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// The handler's only business: one write, which is async-signal-safe.
constinit int signalPipeWrite = -1;

extern "C" void noteSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(signalPipeWrite, &byte, 1);
    errno = saved;
}

} // namespace

SignalPipe::SignalPipe() {
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    readEnd = ends[0];
    signalPipeWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &action, &previous[i]);
    }
}

SignalPipe::~SignalPipe() {
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &previous[i], nullptr);
    }
    ::close(signalPipeWrite);
    signalPipeWrite = -1;
    ::close(readEnd);
}

std::vector<int> SignalPipe::take() {
    std::vector<int> taken;
    unsigned char byte = 0;
    while (::read(readEnd, &byte, 1) == 1) {
        taken.push_back(byte);
    }
    return taken;
}

} // namespace sparwick::cli
