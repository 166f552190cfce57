// The version gate and the version query (-i) end to end: what the panel reports decides
// whether it is programmed, and -i only ever asks.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using panelsim::bytes;

namespace {

// A zero burst, then the version request, and again once the version has come.
// The zero burst and two version requests.
bytes version_request_line() {
    bytes line = {0xA5, 0x00, 0x00, 0xA5, 0x00, 0x00};
    line.insert(line.begin(), 16, 0x00);
    return line;
}

const bytes IMAGE = with_version(bytes(200, 0x3C), 0x0106);

} // namespace

class version_gate_run : public e2e {
  protected:
    tool_run run_with_version(const panelsim::config& cfg, const std::string& minimum) {
        start_panel(cfg);
        write_file(path("img.bin"), IMAGE);
        const auto r = run({"-c", minimum, "-w", "img.bin"});
        settle();
        return r;
    }
    bool programmed() const {
        const auto flash = panel->flash();
        return std::equal(IMAGE.begin(), IMAGE.end(), flash.begin());
    }
};

TEST_F(version_gate_run, a_current_panel_is_left_alone_with_status_1) {
    panelsim::config cfg;
    cfg.version = 0x0105;
    for (const char* minimum : {"105", "0x105", "104"}) {
        const auto r = run_with_version(cfg, minimum);
        EXPECT_EQ(r.status, 1) << minimum;
        EXPECT_EQ(r.out, "Open data file <img.bin>\nRead Flash data length 200\n"
                         "Get firmware version...\nFrontpanel version 0105\n"
                         "Frontpanel version OK, no programming done.\n");
        EXPECT_EQ(panel->received(), version_request_line()) << "no flash-mode request";
        EXPECT_FALSE(programmed());
    }
}

TEST_F(version_gate_run, an_older_panel_is_programmed_after_the_exact_sequence) {
    panelsim::config cfg;
    cfg.version = 0x0105;
    for (const char* minimum : {"106", "-1", "100000000"}) {
        const auto r = run_with_version(cfg, minimum);
        ASSERT_EQ(r.status, 0) << minimum << r.out;
        EXPECT_NE(r.out.find("Frontpanel version 0105\nEnter Flashmode...\nAccepted (1)\n"),
                  std::string::npos);
        EXPECT_TRUE(programmed());
        bytes expected = version_request_line();
        expected.insert(expected.end(), 48, 0x00);
        // The first packet reads the first block: whether the panel holds the image already.
        expected.insert(expected.end(), {0xA5, 0x3C, 0x5E, 0x27, 0xAA, 0x04, 0x42, 0x00, 0x00});
        const auto line = with_one_sync(panel->received());
        ASSERT_GE(line.size(), expected.size());
        EXPECT_EQ(bytes(line.begin(), line.begin() + static_cast<long>(expected.size())), expected);
    }
}

// After programming, the panel is asked what it runs; a run with -c then never programs again
// what the panel already holds: the second run of each case erases and writes nothing.
TEST_F(version_gate_run, status_0_means_the_panel_runs_the_update_and_nothing_is_programmed_twice) {
    const bytes image = with_version(bytes(640, 0x3C), 0x0106);
    bytes not_starting = image;
    not_starting[0] = not_starting[1] = 0xFF;
    const struct {
        const char* said; // by the first run
        const bytes& image;
        std::vector<std::string> options;
        bool left_in_bootloader; // holding the image, by a run killed after its last write
        int first, second;       // the two runs' statuses
    } cases[] = {
        {"Frontpanel version 0106\n", image, {"-c", "106"}, false, 0, 1},
        {"older than 0107: the image is not version 0107", image, {"-c", "107"}, false, 4, 4},
        {"after programming: the image does not start", not_starting, {"-c", "106"}, false, 4, 4},
        {"All 10 blocks hold the image already", image, {"-c", "106"}, true, 0, 1},
        {"Exit Flashmode\n", not_starting, {"--no-confirm"}, false, 0, 0},
    };
    for (const auto& c : cases) {
        panelsim::config cfg;
        cfg.version = 0x0104;
        cfg.start_in_bootloader = c.left_in_bootloader;
        start_panel(cfg);
        if (c.left_in_bootloader) {
            panel->set_flash(holding(c.image));
        }
        write_file(path("img.bin"), c.image);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-w", "img.bin"});
        const auto first = run(args);
        EXPECT_EQ(first.status, c.first) << c.said << first.out;
        EXPECT_NE(first.out.find(c.said), std::string::npos) << first.out;
        const std::size_t before = panel->packets().size();
        const auto second = run(args);
        settle();
        EXPECT_EQ(second.status, c.second) << c.said << second.out;
        const auto packets = panel->packets();
        EXPECT_EQ(std::count_if(packets.begin() + static_cast<long>(before), packets.end(),
                                [](const auto& p) { return p.command == 2 || p.command == 3; }),
                  c.options[0] == std::string("-c") ? 0 : 30)
            << c.said;
        EXPECT_TRUE(std::equal(c.image.begin(), c.image.end(), panel->flash().begin())) << c.said;
        // 4.7 s at most idle for an image that does not start; a loaded machine's waits
        // oversleep, and a second programming (30 packets more) is caught by the count above.
        EXPECT_LT(second.seconds, 8.0) << c.said;
    }
}

TEST_F(version_gate_run, bytes_before_the_version_frame_are_skipped) {
    panelsim::config cfg;
    cfg.version_reply = bytes{0x00, 0x13, 0x5A, 0x00, 0x02, 0x00};
    const auto r = run_with_version(cfg, "105");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Frontpanel version 0200\n"), std::string::npos) << r.out;
}

// A panel already in its bootloader answers the flash-mode request for the firmware.
TEST_F(version_gate_run, anything_but_a_version_reply_means_safe_bootloader_mode) {
    const std::string unknown = "Get firmware version...\nFrontpanel seems to be in safe "
                                "bootloader mode\nEnter Flashmode...\n";
    struct panel_case {
        bytes version_reply;
        bool in_bootloader;
        std::string said;
    };
    const panel_case cases[] = {
        {{}, false, unknown + "Accepted (1)\n"},           // silence
        {{0x00, 0x13}, false, unknown + "Accepted (1)\n"}, // noise only
        {{0x5A, 0xF1, 1, 2, 3, 4, 0x5A, 0x00, 0x09, 0x99}, false, unknown + "Accepted (1)\n"},
        {{0x5A, 0x7E}, false, unknown + "Accepted (1)\n"}, // an unlisted type
        {{}, true, unknown + "Accepted (2)\nSync\nSynced\n"},
    };
    for (const auto& c : cases) {
        panelsim::config cfg;
        cfg.version_reply = c.version_reply;
        cfg.start_in_bootloader = c.in_bootloader;
        const auto r = run_with_version(cfg, "105");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_TRUE(programmed());
    }
}

TEST_F(version_gate_run, without_a_version_check_no_version_request_is_sent) {
    panelsim::config cfg;
    start_panel(cfg);
    write_file(path("img.bin"), IMAGE);
    const auto r = run({"-c", "0", "-w", "img.bin"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Get firmware version"), r.out.find("Exit Flashmode\n") + 15)
        << "only after programming: " << r.out;
    settle();
    bytes expected(48, 0x00);
    expected.insert(expected.end(), {0xA5, 0x3C, 0x5E, 0x27, 0xAA});
    const auto line = with_one_sync(panel->received());
    EXPECT_EQ(bytes(line.begin(), line.begin() + 53), expected);
}

class version_query_run : public e2e {};

namespace {

// The trace without its time column, and without the empty-read counts of incoming bytes,
// which depend on when the panel answered.
std::vector<std::string> trace_without_times(const std::string& trace) {
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(line.size() > 10 && line[5] == '.' && line[9] == ' ') << line;
        line.erase(0, 10);
        lines.push_back(line[0] == '<' ? line.substr(0, line.find(" (after")) : line);
    }
    return lines;
}

const std::string ZERO_BURST = "> 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

} // namespace

TEST_F(version_query_run, prints_the_version_without_flash_mode_and_traces_both_directions) {
    panelsim::config cfg;
    cfg.version = 0x0a05;
    start_panel(cfg);
    const auto plain = run({"-i"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "Get firmware version...\nFrontpanel version 0a05\n");
    EXPECT_EQ(plain.err, "");
    settle();
    EXPECT_EQ(panel->received(), version_request_line());
    EXPECT_FALSE(panel->in_bootloader());

    start_panel(cfg);
    const auto traced = run({"-t", "-i"});
    EXPECT_EQ(traced.status, 0);
    EXPECT_EQ(traced.out, plain.out);
    // A pseudo-terminal has no low-latency mode to ask for.
    const std::vector<std::string> lines = {"- low latency not offered by the driver",
                                            ZERO_BURST,
                                            "> a5 00 00",
                                            "< 5a",
                                            "< 00",
                                            "< 0a",
                                            "< 05",
                                            "> a5 00 00",
                                            "< 5a",
                                            "< 00",
                                            "< 0a",
                                            "< 05"};
    EXPECT_EQ(trace_without_times(traced.err), lines) << traced.err;
}

TEST_F(version_query_run, no_version_reply_to_two_requests_ends_with_status_3) {
    panelsim::config silent;
    silent.version_reply = bytes{};
    panelsim::config bootloader;
    bootloader.start_in_bootloader = true;
    for (const auto& cfg : {silent, bootloader}) {
        start_panel(cfg);
        const auto r = run({"-t", "-i"});
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_EQ(r.out,
                  "Get firmware version...\nFrontpanel seems to be in safe bootloader mode\n");
        const char* given_up = "- wait for a frame gave up (after 1001 empty reads)";
        const std::vector<std::string> lines = {"- low latency not offered by the driver",
                                                ZERO_BURST,
                                                "> a5 00 00",
                                                given_up,
                                                "> a5 00 00",
                                                given_up};
        EXPECT_EQ(trace_without_times(r.err), lines) << r.err;
        EXPECT_GE(std::stod(r.err.substr(r.err.rfind(" - ") - 9)), 2000.0) << "2000 waits of 1 ms";
        settle();
        EXPECT_EQ(panel->received(), version_request_line()) << "no flash-mode request";
        EXPECT_EQ(panel->in_bootloader(), cfg.start_in_bootloader);
    }
}

TEST_F(version_query_run, a_reply_a_bit_flipped_in_is_not_taken_for_the_version) {
    panelsim::config cfg = corrupted_byte(panelsim::fault_place::version, 0, 3, 0x01);
    cfg.version = 0x0a05;
    start_panel(cfg);
    const auto r = run({"-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Get firmware version...\nFrontpanel version 0a05\n");
    settle();
    EXPECT_EQ(panel->received().size(), 16U + 3 * 3) << "0a04, then 0a05 twice";
}
