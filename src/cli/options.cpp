// The command line: which operation to run, on which file, with which settings.
#include "cli/options.h"

#include "common/panel_constants.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

constexpr const char* OPTION_STRING = "vc:r:w:ith";

bool parse_version(const char* text, std::int32_t& version) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 16);
    if (end == text || *end != '\0') {
        return false;
    }
    if (value > INT32_MAX) {
        version = INT32_MAX;
    } else if (value < INT32_MIN) {
        version = INT32_MIN;
    } else {
        version = static_cast<std::int32_t>(value);
    }
    return true;
}

parse_result parse_options(int argc, char** argv, command_line& command) {
    for (;;) {
        switch (getopt(argc, argv, OPTION_STRING)) {
        case 'v':
            command.skip_verify = true;
            break;
        case 'c':
            if (!parse_version(optarg, command.minimum_version)) {
                command.bad_version = optarg;
                return parse_result::invalid_version;
            }
            break;
        case 'w':
            command.op = operation::write;
            command.path = optarg;
            return parse_result::run;
        case 'r':
            command.op = operation::read;
            command.path = optarg;
            return parse_result::run;
        case 'i':
            command.op = operation::version;
            return parse_result::run;
        case 't':
            command.trace = true;
            break;
        case 'h':
            return parse_result::help;
        default:
            return parse_result::usage;
        }
    }
}

static void write_usage(std::FILE* stream, const char* program_name) {
    std::fprintf(
        stream,
        "Usage: %s [-v ] -w <filename>       : Program flash from file (-v: ommit verify)\n",
        program_name);
    std::fprintf(stream, "       %s -r <filename>             : Read out flash to file\n",
                 program_name);
    std::fprintf(stream, "       %s -c version -w <filename>  : Check version and write if older\n",
                 program_name);
    std::fprintf(stream,
                 "       %s -i                        : Show the panel's firmware version\n",
                 program_name);
    std::fprintf(stream, "       %s -t <operation>            : Trace the line on standard error\n",
                 program_name);
    std::fprintf(stream, "       %s -h                        : Show this help\n", program_name);
}

void print_usage(const char* program_name) {
    std::fflush(stdout);
    write_usage(stderr, program_name);
    std::exit(EXIT_USAGE);
}

void print_help(const char* program_name) {
    write_usage(stdout, program_name);
    std::exit(EXIT_DONE);
}
