// The one way the tool ends: say what happened where it happened, then end the process.
#include "common/fail.h"

#include "report/run_report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// The message is kept as the run's, for its account.
static void keep_failure(const char* format, va_list args, const char* system_error) {
    char text[MESSAGE_SIZE];
    std::vsnprintf(text, sizeof text, format, args);
    if (system_error != nullptr) {
        std::snprintf(text + std::strcspn(text, "\n"), sizeof text - std::strcspn(text, "\n"),
                      ": %s", system_error);
    }
    keep_message(text);
}

void fail(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list kept;
    va_copy(kept, args);
    std::vfprintf(stdout, format, args);
    keep_failure(format, kept, nullptr);
    va_end(kept);
    va_end(args);
    finish(status);
}

// Standard output goes first, so that where both streams are one file the lines keep their order.
static void print_error(const char* format, va_list args, const char* system_error = nullptr) {
    va_list kept;
    va_copy(kept, args);
    keep_failure(format, kept, system_error);
    va_end(kept);
    std::fflush(stdout);
    std::vfprintf(stderr, format, args);
}

void fail_stderr(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_error(format, args);
    va_end(args);
    finish(status);
}

static void print_system_error(int error, const char* format, va_list args) {
    print_error(format, args, std::strerror(error));
    std::fprintf(stderr, ": %s\n", std::strerror(error));
}

void fail_system(int status, const char* format, ...) {
    const int error = errno;
    va_list args;
    va_start(args, format);
    print_system_error(error, format, args);
    va_end(args);
    finish(status);
}

void fail_error(int status, int error, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_system_error(error, format, args);
    va_end(args);
    finish(status);
}
