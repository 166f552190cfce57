// The command line: which operation to run, on which file, with which settings.
#include "cli/options.h"

#include "common/panel_constants.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

constexpr const char* OPTION_STRING = "vc:r:w:";

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
        default:
            return parse_result::usage;
        }
    }
}

void print_usage(const char* program_name) {
    std::fflush(stdout);
    std::fprintf(
        stderr,
        "Usage: %s [-v ] -w <filename>       : Program flash from file (-v: ommit verify)\n",
        program_name);
    std::fprintf(stderr, "       %s -r <filename>             : Read out flash to file\n",
                 program_name);
    std::fprintf(stderr, "       %s -c version -w <filename>  : Check version and write if older\n",
                 program_name);
    std::exit(EXIT_USAGE);
}
