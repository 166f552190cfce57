// The lines of the line trace.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(line_trace, lines_show_time_direction_bytes_and_empty_reads_before) {
    struct line_case {
        double ms;
        char direction;
        std::vector<std::uint8_t> data;
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
    EXPECT_EQ(format_note_line(4000.5, "read gave up with 0 of 2 bytes", 400),
              " 4000.500 - read gave up with 0 of 2 bytes (after 400 empty reads)\n");
    EXPECT_EQ(format_note_line(1.0, "wait for 00 gave up", 0), "    1.000 - wait for 00 gave up\n");
}
