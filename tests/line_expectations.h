// The settings the tool puts on the panel's line, field by field: checked on the function
// that makes them and on what a run leaves on panelsim's pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <termios.h>

inline void expect_panel_line_settings(const termios& settings) {
    struct field {
        const char* what;
        unsigned long value;
        unsigned long expected;
    };
    const field fields[] = {
        {"input: breaks and parity errors ignored, nothing else", settings.c_iflag,
         IGNBRK | IGNPAR},
        {"output: no processing", settings.c_oflag, 0},
        {"local: raw, no echo, no signal characters", settings.c_lflag, 0},
        {"8 data bits", settings.c_cflag & CSIZE, CS8},
        {"no parity", settings.c_cflag & PARENB, 0},
        {"1 stop bit", settings.c_cflag & CSTOPB, 0},
        {"receiver on", settings.c_cflag & CREAD, CREAD},
        {"hang-up on the last close", settings.c_cflag & HUPCL, HUPCL},
        {"modem lines not ignored", settings.c_cflag & CLOCAL, 0},
        {"no hardware flow control", settings.c_cflag & CRTSCTS, 0},
        {"line discipline 0", settings.c_line, 0},
        {"VMIN", settings.c_cc[VMIN], 1},
        {"VTIME", settings.c_cc[VTIME], 0},
        {"output speed", cfgetospeed(&settings), B115200},
        {"input speed", cfgetispeed(&settings), B115200},
    };
    for (const auto& f : fields) {
        EXPECT_EQ(f.value, f.expected) << f.what;
    }
}
