// The reading loops, fed whatever the line may bring.
//   byte 0: bit 0 set: wait_for_bytes, else read_bytes, or read_until_quiet with bit 2;
//           bit 1: the line hangs up after the script
//   byte 1: read_bytes: bytes asked for, times 2 (0 to 510); wait_for_bytes: the number of
//           bytes awaited, 1 to 4 (low two bits, plus 1), which follow
//   then the script (fuzz_support.h)
#include "serial/serial_port.h"

#include "fake_port.h"
#include "fuzz_support.h"

#include <algorithm>
#include <vector>

constexpr std::uint8_t UNTOUCHED = 0xA7; // what the destination holds before the read

static void check_read(std::size_t count, const std::vector<std::uint8_t>& line, bool until_quiet) {
    std::vector<std::uint8_t> destination(count, UNTOUCHED);
    const int got = until_quiet ? read_until_quiet(destination, 20) : read_bytes(destination);
    require(got >= 0 && static_cast<std::size_t>(got) <= count, "a read returns what was asked");
    require(until_quiet || fake_port::reads() <= 400, "a read takes at most 400 reads");
    const auto filled = destination.begin() + got;
    require(std::equal(destination.begin(), filled, line.begin(), line.begin() + got),
            "a read fills in the bytes as they came");
    require(std::all_of(filled, destination.end(), [](std::uint8_t b) { return b == UNTOUCHED; }),
            "a read leaves what did not arrive alone");
}

// Whether `expected` is found in `line` in order, other bytes between.
static bool in_order(const std::vector<std::uint8_t>& expected,
                     const std::vector<std::uint8_t>& line) {
    auto next = line.begin();
    for (const std::uint8_t byte : expected) {
        next = std::find(next, line.end(), byte);
        if (next == line.end()) {
            return false;
        }
        ++next;
    }
    return true;
}

static void check_wait(const std::vector<std::uint8_t>& expected,
                       const std::vector<std::uint8_t>& line) {
    const bool arrived = wait_for_bytes(expected);
    const int reads = fake_port::reads();
    require(!arrived || in_order(expected, line), "a wait ends on the bytes it waited for");
    require(arrived || reads >= 100, "a wait gives up only after 100 reads without them");
    require(reads <= static_cast<int>(expected.size()) + 100, "a wait takes at most 100 misses");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const std::uint8_t flags = take_byte(input);
    const std::uint8_t count = take_byte(input);
    fake_port::reset();
    if ((flags & 1) == 0) {
        check_read(count * 2U, feed_port(input, (flags & 2) != 0), (flags & 4) != 0);
        return 0;
    }
    std::vector<std::uint8_t> expected;
    for (int i = 0; i <= (count & 3); ++i) {
        expected.push_back(take_byte(input));
    }
    check_wait(expected, feed_port(input, (flags & 2) != 0));
    return 0;
}
