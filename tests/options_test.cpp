// The option scan: what runs, with which settings, and what is a command-line error.
#include "cli/options.h"

#include "argv.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct scan {
    parse_result result;
    command_line command;
};

scan parse(std::vector<std::string> words) {
    words.insert(words.begin(), "panelflash");
    std::vector<char*> argv = argv_of(words);
    optind = 0; // glibc: restart the scan in this process
    opterr = 0;
    scan out{};
    out.result = parse_options(static_cast<int>(words.size()), argv.data(), out.command);
    // The pointers point into `words`; keep only what the tests look at.
    static std::string path;
    path = out.command.path ? out.command.path : "";
    out.command.path = path.c_str();
    out.command.bad_version = nullptr;
    return out;
}

} // namespace

TEST(options, the_first_operation_runs_with_the_settings_before_it) {
    auto s = parse({"-v", "-c", "105", "-w", "img.bin", "-r", "out.bin"});
    ASSERT_EQ(s.result, parse_result::run);
    EXPECT_EQ(s.command.op, operation::program);
    EXPECT_STREQ(s.command.path, "img.bin");
    EXPECT_EQ(s.command.minimum_version, 0x105);
    EXPECT_TRUE(s.command.skip_verify);

    s = parse({"-w", "img.bin", "-v", "-c", "zz"});
    ASSERT_EQ(s.result, parse_result::run);
    EXPECT_FALSE(s.command.skip_verify) << "nothing after -w is read";
    EXPECT_EQ(s.command.minimum_version, 0);

    s = parse({"-r", "out.bin"});
    EXPECT_EQ(s.command.op, operation::read_out);
    EXPECT_STREQ(s.command.path, "out.bin");

    s = parse({"-s", "-C", "img.bin", "-w", "x"});
    EXPECT_EQ(s.command.op, operation::compare);
    EXPECT_STREQ(s.command.path, "img.bin");
    EXPECT_TRUE(s.command.skip_same);

    s = parse({"img.bin", "-w", "out.bin"});
    ASSERT_EQ(s.result, parse_result::run) << "operands are passed over";
    EXPECT_STREQ(s.command.path, "out.bin");

    s = parse({"-c", "1", "-c", "2", "-w", "x"});
    EXPECT_EQ(s.command.minimum_version, 2) << "a later -c replaces an earlier one";

    s = parse({"-t", "-i", "-w", "img.bin"});
    EXPECT_EQ(s.command.op, operation::version);
    EXPECT_TRUE(s.command.trace);
    EXPECT_FALSE(parse({"-r", "out.bin", "-t"}).command.trace) << "-t after -r is not read";
    EXPECT_EQ(parse({"-t", "-h", "-r", "out.bin"}).result, parse_result::help);
}

TEST(options, command_line_errors_ask_for_the_usage_text) {
    EXPECT_EQ(parse({}).result, parse_result::usage);
    EXPECT_EQ(parse({"-v"}).result, parse_result::usage);
    EXPECT_EQ(parse({"-w"}).result, parse_result::usage);
    EXPECT_EQ(parse({"-x", "-w", "img.bin"}).result, parse_result::usage);
    EXPECT_EQ(parse({"--", "-w", "img.bin"}).result, parse_result::usage);
    EXPECT_EQ(parse({"-t"}).result, parse_result::usage);
}

TEST(options, version_is_hexadecimal_as_strtol_reads_it_saturated_to_32_bits) {
    const std::pair<const char*, std::int32_t> valid[] = {{"105", 0x105},
                                                          {"0x105", 0x105},
                                                          {"  105", 0x105},
                                                          {"+105", 0x105},
                                                          {"-1", -1},
                                                          {"0", 0},
                                                          {"100000000", INT32_MAX},
                                                          {"-100000000", INT32_MIN},
                                                          {"FFFFFFFFFFFFFFFFFFFF", INT32_MAX},
                                                          {"7fffffff", INT32_MAX}};
    for (const auto& [text, expected] : valid) {
        std::int32_t version = 12345;
        EXPECT_TRUE(parse_version(text, version)) << text;
        EXPECT_EQ(version, expected) << text;
    }
    for (const char* text : {"zz", "", "12g", "0x", "105 ", "1.0"}) {
        std::int32_t version = 0;
        EXPECT_FALSE(parse_version(text, version)) << text;
    }
}

TEST(options, an_invalid_version_stops_the_scan) {
    std::vector<std::string> words = {"panelflash", "-c", "zz", "-w", "img.bin"};
    std::vector<char*> argv = argv_of(words);
    optind = 0;
    command_line command;
    EXPECT_EQ(parse_options(static_cast<int>(words.size()), argv.data(), command),
              parse_result::invalid_version);
    EXPECT_STREQ(command.bad_version, "zz");
    EXPECT_EQ(command.path, nullptr);
}

TEST(options_DeathTest, usage_names_the_program_and_exits_64) {
    EXPECT_EXIT(print_usage("pf"), testing::ExitedWithCode(64),
                "^Usage: pf \\[-v \\] -w <filename>       : Program flash from file \\(-v: ommit "
                "verify\\)\n       pf -r <filename>             : Read out flash to file\n"
                "       pf -c version -w <filename>  : Check version and write if older\n"
                "       pf -s -w <filename>          : Program only the blocks that differ\n"
                "       pf -C <filename>             : Compare flash with file\n"
                "       pf -i                        : Show the panel's firmware version\n"
                "       pf -d <device> <operation>   : Use <device> instead of /dev/frontpanel\n"
                "       pf -t <operation>            : Trace the line on standard error\n"
                "       pf --json <file> <operation> : Write the run's account to <file> as "
                "JSON\n       pf --no-confirm -w <file>    : Do not ask what the panel runs "
                "after it\n       pf -h, --help                : Show this help\n"
                "       pf --version                 : Show the tool's version\n$");
}
