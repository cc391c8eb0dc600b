#include "sim/ReceiveFifo.h"

namespace sparwick::sim {

bool ReceiveFifo::push(char byte) {
    if (count == capacity) {
        ++lostBytes;
        return false;
    }
    bytes[(head + count) % capacity] = byte;
    ++count;
    return true;
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
