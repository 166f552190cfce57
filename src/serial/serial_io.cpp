// Reading loops over the port primitives: bounded by attempt counts, waiting only while
// the line is silent.
#include "serial/serial_port.h"

#include <algorithm>
#include <array>
#include <cstddef>

int read_bytes(std::span<std::uint8_t> destination, int attempt_limit) {
    const int count = static_cast<int>(destination.size());
    int got = 0;
    int attempts = 0;
    while (got < count && attempts < attempt_limit) {
        // Whatever is pending is taken in one read, each byte counted as the single-byte
        // read it saves, so the attempt limit means what it always meant.
        const int want = std::min(count - got, attempt_limit - attempts);
        const int arrived = port_read(
            destination.subspan(static_cast<std::size_t>(got), static_cast<std::size_t>(want)));
        if (arrived == want) {
            got += arrived;
            attempts += arrived;
            continue;
        }
        // Less than asked for means the line had nothing more: that counts as the empty
        // read that would have told so, and the wait follows at once.
        if (arrived > 0) {
            got += arrived;
            attempts += arrived;
        }
        if (++attempts > attempt_limit) {
            break;
        }
        wait_readable(READ_WAIT_US);
    }
    if (got < count) {
        trace_note("read gave up with %d of %d bytes", got, count);
    }
    return got;
}

int read_until_quiet(std::span<std::uint8_t> destination, int quiet_waits) {
    const auto count = destination.size();
    std::size_t got = 0;
    for (int quiet = 0; got < count;) {
        const int arrived = port_read(destination.subspan(got));
        if (arrived > 0) {
            got += static_cast<std::size_t>(arrived);
            quiet = 0;
        } else if (++quiet > quiet_waits) {
            trace_note("read gave up with %zu of %zu bytes", got, count);
            break;
        }
        if (got < count) {
            wait_readable(READ_WAIT_US);
        }
    }
    return static_cast<int>(got);
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
        // Noise may come first, so any byte ends the wait (once an answer the packet
        // announced can have crossed the line).
        wait_readable(READ_WAIT_US);
        if (++misses >= ACK_ATTEMPTS) {
            trace_note("wait for %02x gave up", expected[matched]);
            return false;
        }
    }
    return true;
}

// The answer to a packet of a run that was killed may still be crossing the line, or be due
// once the panel has written its flash, when the next run starts: taken for the reply to the
// flash-mode request, it would fail that run.
int discard_stale_input() {
    std::array<std::uint8_t, 64> scratch{};
    int discarded = 0;
    bool arrived = true; // nothing is known of the line before the first wait
    for (int waits = 0; waits < DRAIN_WAITS; ++waits) {
        int got = 0;
        while ((got = port_read(scratch)) > 0) {
            discarded += got;
            arrived = true;
        }
        if (!arrived || got == 0) {
            break;
        }
        arrived = false;
        wait_readable(DRAIN_QUIET_US);
    }
    return discarded;
}
