// The one way the tool ends: say what happened where it happened, then end the process.
#include "common/fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

void fail(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    finish(status);
}

// Standard output goes first, so that where both streams are one file the lines keep their order.
static void print_error(const char* format, va_list args) {
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
    print_error(format, args);
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
