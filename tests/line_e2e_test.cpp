// The panel's line end to end: how the tool sets it up and how its faults end a run.
#include "e2e_support.h"
#include "line_expectations.h"

#include <gtest/gtest.h>

#include <unistd.h>

using panelsim::bytes;

class line : public e2e {};

TEST_F(line, is_set_up_exactly_and_what_came_before_the_open_is_discarded) {
    panelsim::config cfg;
    cfg.version = 0x0100;
    cfg.sent_at_start = {0x5A, 0x00, 0xFF, 0xFF}; // a version frame nobody asked for
    start_panel(cfg);
    write_file(path("img.bin"), with_version(bytes(200, 0x3C), 0x0105));
    const auto r = run({"-c", "105", "-w", "img.bin"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Frontpanel version 0100\n"), std::string::npos) << r.out;
    expect_panel_line_settings(panel->host_settings());
}

struct port_fault {
    const char* what;
    void (*arrange)(panelsim::config&); // nullptr: the device is a plain file, no panel
    std::vector<std::string> args;
    std::string out;
    std::string err;
    double lasts_s; // at least
};

TEST_F(line, its_faults_end_the_run_with_status_3_and_what_happened) {
    const port_fault faults[] = {
        {"not a terminal",
         nullptr,
         {"-r", "dump.bin"},
         "",
         std::string("Can't read the line settings of ") + PANEL_LINK_NAME +
             ": Inappropriate ioctl for device\n",
         0},
        {"hung up",
         [](panelsim::config& cfg) { cfg.hang_up_on_version_request = true; },
         {"-c", "105", "-w", "img.bin"},
         "Open data file <img.bin>\nRead Flash data length 200\nGet firmware version...\n"
         "Frontpanel seems to be in safe bootloader mode\n",
         std::string("Can't write to ") + PANEL_LINK_NAME + ": Input/output error\n",
         0},
        {"output held",
         [](panelsim::config& cfg) { cfg.hold_host_output = true; },
         {"-r", "dump.bin"},
         std::string("Write to ") + PANEL_LINK_NAME + " stalled, aborting\n",
         "",
         2.0},
    };
    write_file(path("img.bin"), bytes(200, 0x3C));
    for (const auto& f : faults) {
        panelsim::config cfg;
        if (f.arrange == nullptr) {
            write_file(path("plain.bin"), bytes(16, 0x00));
            ASSERT_EQ(symlink("plain.bin", path(PANEL_LINK_NAME).c_str()), 0);
        } else {
            f.arrange(cfg);
            start_panel(cfg);
        }
        const auto r = run(f.args);
        EXPECT_EQ(r.status, 3) << f.what;
        EXPECT_EQ(r.out, f.out) << f.what;
        EXPECT_EQ(r.err, f.err) << f.what;
        EXPECT_GE(r.seconds, f.lasts_s) << f.what;
        EXPECT_LT(r.seconds, 10.0) << f.what;
        EXPECT_FALSE(file_exists(path("dump.bin"))) << f.what;
    }
}
