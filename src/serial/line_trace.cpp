// The lines of the line trace (-t): what went over the line, when, and how long the line
// stayed silent before.
#include "serial/serial_port.h"

#include <cstdio>

// The time column, then the mark: '>' to the panel, '<' from it, '-' a wait that gave up.
static std::string line_start(double ms, char mark) {
    char start[32];
    std::snprintf(start, sizeof start, "%9.3f %c", ms, mark);
    return start;
}

static void end_line(std::string& line, int empty_reads) {
    if (empty_reads > 0) {
        char count[48];
        std::snprintf(count, sizeof count, " (after %d empty read%s)", empty_reads,
                      empty_reads == 1 ? "" : "s");
        line += count;
    }
    line += '\n';
}

std::string format_trace_line(double ms, char direction, std::span<const std::uint8_t> bytes,
                              int empty_reads) {
    std::string line = line_start(ms, direction);
    for (const std::uint8_t byte : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", byte);
        line += hex;
    }
    end_line(line, empty_reads);
    return line;
}

std::string format_note_line(double ms, const char* what, int empty_reads) {
    std::string line = line_start(ms, '-');
    line += ' ';
    line += what;
    end_line(line, empty_reads);
    return line;
}
