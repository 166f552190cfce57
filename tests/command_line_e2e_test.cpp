// The command line as a user meets it: the usage text for what cannot run, the help.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <string>

class command_line_run : public e2e {};

TEST_F(command_line_run, errors_show_the_usage_and_exit_64) {
    const std::string usage_head = "Usage: panelflash [-v ] -w <filename>";
    auto r = run({});
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err.rfind(usage_head, 0), 0U) << r.err;
    EXPECT_EQ(count_of(r.err, "panelflash"), 12);

    r = run({"-w"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("option requires an argument -- 'w'\n" + usage_head), std::string::npos)
        << r.err;

    r = run({"-q"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("invalid option -- 'q'\n" + usage_head), std::string::npos) << r.err;

    for (const char* bad : {"zz", "", "12g"}) {
        r = run({"-c", bad, "-r", "dump.bin"});
        EXPECT_EQ(r.status, 64);
        EXPECT_EQ(r.err.rfind(std::string("Invalid version <") + bad + ">\n" + usage_head, 0), 0U)
            << r.err;
    }
    EXPECT_EQ(list_dir(dir).size(), 0U);
}

TEST_F(command_line_run, help_and_version_go_to_standard_output_with_status_0) {
    for (const char* help : {"-vh", "--help"}) {
        const auto r = run({help, "-r", "dump.bin"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, run({}).err);
        EXPECT_EQ(r.err, "");
    }
    const auto r = run({"-t", "--version", "-r", "dump.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("panelflash 1.0", 0), 0U) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(dir).size(), 0U) << "nothing runs after -h, --help or --version";
}
