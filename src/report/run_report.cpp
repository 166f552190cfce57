// What a run did and met, kept as it goes.
#include "report/run_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

run_report report{};

void reset_report() {
    report = run_report{};
}

void keep_message(const char* line) {
    // A message begun with a newline ends a progress line first; that is not part of it.
    while (*line == '\n') {
        ++line;
    }
    std::size_t length = std::strcspn(line, "\n");
    length = length < MESSAGE_SIZE - 1 ? length : MESSAGE_SIZE - 1;
    std::memcpy(report.message, line, length);
    report.message[length] = '\0';
}

void say(const char* format, ...) {
    char line[MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
    keep_message(line);
}
