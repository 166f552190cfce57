// The one way the tool ends: say what happened where it happened, then end the process.
#pragma once

// Prints the printf-style message on standard output and ends the process with `status`.
[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints the printf-style message on standard error and ends the process with `status`.
[[noreturn]] void fail_stderr(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Prints the message, ": " and the system's error text on standard error, as perror does,
// and ends the process with `status`.
[[noreturn]] void fail_system(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// fail_system for an error met earlier: `error` is the errno value to print.
[[noreturn]] void fail_error(int status, int error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Ends the process with `status`, printing nothing: the one call of exit(), in finish.cpp,
// which tests and fuzz targets replace at link time to catch the end instead.
[[noreturn]] void finish(int status);
