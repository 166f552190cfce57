// The command line: which operation to run, on which file, with which settings.
#include "cli/options.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "report/run_report.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <getopt.h>
#include <unistd.h>

constexpr const char* OPTION_STRING = "vc:r:w:ithd:C:s";

// The long options' values, above every short option's character.
enum long_option { HELP = 256, VERSION, JSON, NO_CONFIRM };
constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {"json", required_argument, nullptr, JSON},
    {"no-confirm", no_argument, nullptr, NO_CONFIRM},
    {nullptr, 0, nullptr, 0},
};

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
        switch (getopt_long(argc, argv, OPTION_STRING, LONG_OPTIONS, nullptr)) {
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
            command.op = operation::program;
            command.path = optarg;
            return parse_result::run;
        case 'r':
            command.op = operation::read_out;
            command.path = optarg;
            return parse_result::run;
        case 'i':
            command.op = operation::version;
            return parse_result::run;
        case 'C':
            command.op = operation::compare;
            command.path = optarg;
            return parse_result::run;
        case 's':
            command.skip_same = true;
            break;
        case 't':
            command.trace = true;
            break;
        case 'd':
            command.device = optarg;
            break;
        case 'h':
        case HELP:
            return parse_result::help;
        case VERSION:
            return parse_result::version;
        case JSON:
            command.json_path = optarg;
            break;
        case NO_CONFIRM:
            command.no_confirm = true;
            break;
        default:
            return parse_result::usage;
        }
    }
}

constexpr const char* USAGE =
    "Usage: %s [-v ] -w <filename>       : Program flash from file (-v: ommit verify)\n"
    "       %s -r <filename>             : Read out flash to file\n"
    "       %s -c version -w <filename>  : Check version and write if older\n"
    "       %s -s -w <filename>          : Program only the blocks that differ\n"
    "       %s -C <filename>             : Compare flash with file\n"
    "       %s -i                        : Show the panel's firmware version\n"
    "       %s -d <device> <operation>   : Use <device> instead of %s\n"
    "       %s -t <operation>            : Trace the line on standard error\n"
    "       %s --json <file> <operation> : Write the run's account to <file> as JSON\n"
    "       %s --no-confirm -w <file>    : Do not ask what the panel runs after it\n"
    "       %s -h, --help                : Show this help\n"
    "       %s --version                 : Show the tool's version\n";

std::string usage_text(const char* program_name) {
    const auto print = [program_name](char* text, std::size_t size) {
        return std::snprintf(text, size, USAGE, program_name, program_name, program_name,
                             program_name, program_name, program_name, program_name, panel_device,
                             program_name, program_name, program_name, program_name, program_name);
    };
    std::string text(static_cast<std::size_t>(print(nullptr, 0)), '\0');
    print(text.data(), text.size() + 1);
    return text;
}

void print_usage(const char* program_name) {
    fail_stderr(EXIT_USAGE, "%s", usage_text(program_name).c_str());
}

void print_help(const char* program_name) {
    std::fputs(usage_text(program_name).c_str(), stdout);
    finish(EXIT_DONE);
}

void end_without_operation(parse_result parsed, const command_line& command,
                           const char* program_name) {
    if (parsed == parse_result::help) {
        print_help(program_name);
    }
    if (parsed == parse_result::version) {
        std::printf("%s\n", tool_version());
        finish(EXIT_DONE);
    }
    if (parsed == parse_result::invalid_version) {
        fail_stderr(EXIT_USAGE, "Invalid version <%s>\n%s", command.bad_version,
                    usage_text(program_name).c_str());
    }
    print_usage(program_name);
}

void reset_option_scan() {
    optind = 0;
}
