// The panel's line end to end: how the tool sets it up and how its faults end a run.
#include "e2e_support.h"
#include "line_expectations.h"

#include <gtest/gtest.h>

using panelsim::bytes;

class line : public e2e {};

TEST_F(line, is_set_up_exactly_and_what_came_before_the_open_is_discarded) {
    panelsim::config cfg;
    cfg.version = 0x0100;
    cfg.sent_at_start = {0x5A, 0x00, 0xFF, 0xFF}; // a version frame nobody asked for
    start_panel(cfg);
    write_file(path("img.bin"), bytes(200, 0x3C));
    const auto r = run({"-c", "105", "-w", "img.bin"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Frontpanel version 0100\n"), std::string::npos) << r.out;
    expect_panel_line_settings(panel->host_settings());
}
