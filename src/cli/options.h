// The command line: which operation to run, on which file, with which settings.
#pragma once

#include <cstdint>
#include <string>

enum class operation { program, read_out, version, compare }; // -w, -r, -i, -C

struct command_line {
    operation op = operation::read_out;
    const char* path = nullptr;
    std::int32_t minimum_version = 0; // 0: no version check
    bool skip_verify = false;
    bool skip_same = false;            // -s: program only the blocks that differ
    bool trace = false;                // -t: the line's exchanges on standard error
    bool no_confirm = false;           // --no-confirm: the running version not asked after -w
    const char* device = nullptr;      // -d: the serial device instead of the built-in one
    const char* json_path = nullptr;   // --json: where the run's account is written
    const char* bad_version = nullptr; // the -c argument that was not a version
};

enum class parse_result {
    run,             // op is set, and path for -w, -r and -C
    usage,           // no operation, unknown option or missing argument
    help,            // -h or --help before any operation
    version,         // --version before any operation
    invalid_version, // bad_version is set
};

// Scans the options in order with getopt_long; the first -w, -r, -C or -i ends the scan, so
// settings count only when they come before it.
parse_result parse_options(int argc, char** argv, command_line& command);

// Reads a -c value as hexadecimal the way strtol does, saturated to 32 bits; false when
// the text is empty or has anything left over.
bool parse_version(const char* text, std::int32_t& version);

// Makes the next parse_options scan its arguments from the start, as in a new process.
void reset_option_scan();

// The usage text, one line per operation, each naming the program as `program_name`.
std::string usage_text(const char* program_name);

// Ends the process for a command line that names no operation to run: the usage text, the
// help, or the invalid version with the usage text.
[[noreturn]] void end_without_operation(parse_result parsed, const command_line& command,
                                        const char* program_name);

// Writes the usage text to standard error and ends the process with EXIT_USAGE.
[[noreturn]] void print_usage(const char* program_name);

// Writes the usage text to standard output and ends the process with EXIT_DONE.
[[noreturn]] void print_help(const char* program_name);

