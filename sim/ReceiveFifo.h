#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sparwick::sim {

// The UART's receive buffer: a fixed number of bytes, as in the hardware. A byte that
// arrives while it is full is lost (an overrun) and counted; nothing ever grows.
class ReceiveFifo {
public:
    // The LPC2000 UART's 16-byte FIFO and the boot loader's own ring behind it.
    static constexpr std::size_t capacity = 128;

    // False when the byte was lost.
    bool push(char byte);
    // Holds no more than limit bytes (at most capacity) from now on; what it holds beyond
    // is lost, newest first.
    void limitTo(std::size_t limit);
    char front() const { return bytes[head]; }
    void pop();
    void clear();

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    std::size_t room() const { return count < limit ? limit - count : 0; }
    std::uint64_t lost() const { return lostBytes; }

private:
    std::array<char, capacity> bytes{};
    std::size_t head = 0;
    std::size_t count = 0;
    std::size_t limit = capacity;
    std::uint64_t lostBytes = 0;
};

} // namespace sparwick::sim
