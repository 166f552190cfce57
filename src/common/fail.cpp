// The one way the tool fails: say what happened where it happened, then end the process.
#include "common/fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void fail(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::exit(status);
}

void fail_system(int status, const char* format, ...) {
    const int error = errno;
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, ": %s\n", std::strerror(error));
    std::exit(status);
}
