// Reading loops over the port primitives: bounded by attempt counts, waiting only while
// the line is silent.
#include "serial/serial_port.h"

#include <cstddef>

int read_bytes(std::span<std::uint8_t> destination) {
    const int count = static_cast<int>(destination.size());
    int got = 0;
    int attempts = 0;
    while (got < count) {
        const bool arrived = port_read(destination.subspan(static_cast<std::size_t>(got), 1)) == 1;
        ++attempts;
        if (arrived) {
            ++got;
        } else {
            wait_readable(READ_WAIT_US);
        }
        if (attempts >= READ_ATTEMPTS) {
            break;
        }
    }
    return got;
}

bool wait_for_bytes(std::span<const std::uint8_t> expected) {
    std::size_t matched = 0;
    int misses = 0;
    while (matched < expected.size()) {
        std::uint8_t byte = 0;
        if (port_read({&byte, 1}) == 1 && byte == expected[matched]) {
            ++matched;
            continue;
        }
        wait_readable(READ_WAIT_US);
        if (++misses >= ACK_ATTEMPTS) {
            return false;
        }
    }
    return true;
}
