// The line trace: the lines it writes, and the waits that say on it that they gave up.
#include "serial/serial_port.h"

#include "fake_port.h"
#include "protocol/panel_protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

using fake_port::bytes;

namespace {

void read_some(std::size_t count) {
    bytes buffer(count);
    read_bytes(buffer);
}

void wait_for_01_02() {
    const std::array<std::uint8_t, 2> sequence{0x01, 0x02};
    wait_for_bytes(sequence);
}

void receive_a_frame() {
    std::array<std::uint8_t, 32> frame{};
    receive_frame(frame, 1000);
}

} // namespace

TEST(line_trace, lines_show_time_direction_bytes_and_empty_reads_before) {
    struct line_case {
        double ms;
        char direction;
        bytes data;
        int empty_reads;
        const char* line;
    };
    const line_case cases[] = {
        {12.345, '>', {0x04, 0x42, 0x00, 0x40}, 0, "   12.345 > 04 42 00 40\n"},
        {0.0, '<', {0x5A}, 1, "    0.000 < 5a (after 1 empty read)\n"},
        {4012.3456, '<', {0xFF, 0x0A, 0x00}, 37, " 4012.346 < ff 0a 00 (after 37 empty reads)\n"},
        {1234567.0, '>', {0xAA}, 0, "1234567.000 > aa\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_trace_line(c.ms, c.direction, c.data, c.empty_reads), c.line);
    }
    EXPECT_EQ(format_give_up_line(4000.5, "read gave up with 0 of 2 bytes", 400),
              " 4000.500 - read gave up with 0 of 2 bytes (after 400 empty reads)\n");
    EXPECT_EQ(format_give_up_line(1.0, "wait for 00 gave up", 0),
              "    1.000 - wait for 00 gave up\n");
}

TEST(line_trace, each_wait_that_gives_up_says_so_once) {
    struct wait_case {
        bytes input;
        std::function<void()> wait;
        std::vector<std::string> said;
    };
    const wait_case cases[] = {
        {{}, [] { read_some(2); }, {"read gave up with 0 of 2 bytes"}},
        {bytes(50, 0x11), [] { read_some(64); }, {"read gave up with 50 of 64 bytes"}},
        {bytes(64, 0x11), [] { read_some(64); }, {}},
        {{0x01}, wait_for_01_02, {"wait for 02 gave up"}},
        {{0x01, 0x02}, wait_for_01_02, {}},
        {{}, receive_a_frame, {"wait for a frame gave up"}},
        {{0x5A, 0x00, 0x01, 0x05}, receive_a_frame, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        fake_port::reset();
        frame_pos = 0;
        fake_port::arrive(cases[i].input);
        cases[i].wait();
        EXPECT_EQ(fake_port::give_ups(), cases[i].said) << "case " << i;
    }
}
