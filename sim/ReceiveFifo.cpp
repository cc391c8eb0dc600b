#include "sim/ReceiveFifo.h"

namespace sparwick::sim {

bool ReceiveFifo::push(char byte) {
    if (count >= limit) {
        ++lostBytes;
        return false;
    }
    bytes[(head + count) % capacity] = byte;
    ++count;
    return true;
}

void ReceiveFifo::limitTo(std::size_t newLimit) {
    limit = newLimit < capacity ? newLimit : capacity;
    if (count > limit) {
        lostBytes += count - limit;
        count = limit;
    }
}

void ReceiveFifo::pop() {
    if (count > 0) {
        head = (head + 1) % capacity;
        --count;
    }
}

void ReceiveFifo::clear() {
    head = 0;
    count = 0;
}

} // namespace sparwick::sim
