// The read-out and the command line end to end: the tool as a child against panelsim.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using panelsim::bytes;

namespace {

std::string read_progress() {
    std::string lines;
    char line[32];
    for (int address = 0; address < 0x2000; address += 0x40) {
        std::snprintf(line, sizeof line, "Read %x   \r", address);
        lines += line;
    }
    return lines;
}

const std::string CONNECTED = "Enter Flashmode...\nAccepted (1)\nSync\nSynced\n";

bytes connection_bytes() {
    bytes line = {0xA5, 0x3C, 0x5E, 0x27, 0xAA};
    line.insert(line.begin(), 48, 0x00);
    return line;
}

panelsim::flash_image random_flash(unsigned seed) {
    std::mt19937 random(seed);
    panelsim::flash_image flash{};
    for (auto& byte : flash) {
        byte = static_cast<std::uint8_t>(random());
    }
    return flash;
}

} // namespace

class read_out : public e2e {};

TEST_F(read_out, dumps_the_whole_flash_with_the_exact_exchange) {
    start_panel();
    auto flash = random_flash(7);
    std::fill_n(flash.begin() + 0x40, 64, 0x00); // all zeros: read twice as any other block
    panel->set_flash(flash);
    const auto r = run({"-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, CONNECTED + read_progress() + "Exit Flashmode\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(path("dump.bin")), bytes(flash.begin(), flash.end()));

    settle();
    bytes line = connection_bytes();
    for (int address = 0; address < 0x2000; address += 0x40) {
        for (int read = 0; read < 2; ++read) { // until two reads agree
            line.insert(line.end(), {0x04, 0x42, static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address & 0xFF)});
        }
    }
    line.insert(line.end(), {0x01, 0x42});
    EXPECT_EQ(with_one_sync(panel->received()), line);
    EXPECT_FALSE(panel->in_bootloader());
}

TEST_F(read_out, replaces_an_existing_file_and_creates_it_as_plain_creation_would) {
    start_panel();
    write_file(path("dump.bin"), bytes(100, 0x11));
    chmod(path("dump.bin").c_str(), 0600);
    const mode_t mask = umask(027); // the tool inherits it
    auto r = run({"-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto flash = panel->flash();
    EXPECT_EQ(read_file(path("dump.bin")), bytes(flash.begin(), flash.end()));
    struct stat status {};
    ASSERT_EQ(stat(path("dump.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600U) << "the replaced file's bits";
    EXPECT_EQ(list_dir(dir).size(), 2U) << "only the link and the dump";

    r = run({"-r", "new.bin"});
    umask(mask);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(stat(path("new.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640U) << "0666 less the umask";
}

TEST_F(read_out, writes_through_a_symbolic_link) {
    start_panel();
    ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real/target.bin", path("dump.bin").c_str()), 0);
    const auto r = run({"-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    struct stat status {};
    ASSERT_EQ(lstat(path("dump.bin").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(read_file(path("real/target.bin")).size(), 8192U);
    EXPECT_EQ(list_dir(path("real")).size(), 1U);
}

TEST_F(read_out, writes_a_pipe_as_it_stands) {
    start_panel();
    ASSERT_EQ(mkfifo(path("dump.fifo").c_str(), 0644), 0);
    bytes piped;
    std::thread reader([&] { piped = read_file(path("dump.fifo")); });
    const auto r = run({"-r", "dump.fifo"});
    reader.join();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto flash = panel->flash();
    EXPECT_EQ(piped, bytes(flash.begin(), flash.end()));
    struct stat status {};
    ASSERT_EQ(lstat(path("dump.fifo").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "a pipe is not replaced by a file";
}

TEST_F(read_out, tolerates_noise_before_each_acknowledgement) {
    panelsim::config cfg;
    cfg.noise_before_ack = {0x13, 0x11};
    start_panel(cfg);
    const auto r = run({"-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto flash = panel->flash();
    EXPECT_EQ(read_file(path("dump.bin")), bytes(flash.begin(), flash.end()));
}

TEST_F(read_out, accepts_a_panel_already_in_its_bootloader) {
    panelsim::config cfg;
    cfg.start_in_bootloader = true;
    start_panel(cfg);
    const auto r = run({"-c", "105", "-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Enter Flashmode...\nAccepted (2)\nSync\nSynced\n", 0), 0U) << r.out;
    settle();
    const auto line = with_one_sync(panel->received());
    const auto expected = connection_bytes();
    ASSERT_GE(line.size(), expected.size());
    EXPECT_EQ(bytes(line.begin(), line.begin() + 53), expected) << "-c is ignored by the read-out";
}

TEST_F(read_out, rejected_flash_mode_replies_end_with_status_3_and_keep_the_old_dump) {
    for (const bytes& reply : {bytes{0x5A, 0xFF}, bytes{0xFF, 0xFD}}) {
        panelsim::config cfg;
        cfg.flash_mode_reply = reply;
        start_panel(cfg);
        write_file(path("dump.bin"), {1, 2, 3});
        const auto r = run({"-r", "dump.bin"});
        EXPECT_EQ(r.status, 3);
        char message[160];
        std::snprintf(message, sizeof message,
                      "Enter Flashmode...\nEnter Flashmode...\nEnter Flashmode...\n"
                      "Unknown response %x %x, is FP really connected?\n",
                      reply[0], reply[1]);
        EXPECT_EQ(r.out, message);
        EXPECT_EQ(read_file(path("dump.bin")), (bytes{1, 2, 3}));
        EXPECT_EQ(list_dir(dir).size(), 2U);
        panel->stop();
    }
}

TEST_F(read_out, a_silent_panel_shows_zero_bytes_after_the_bounded_wait) {
    panelsim::config cfg;
    cfg.flash_mode_reply = {};
    cfg.answer_flash_request = false;
    start_panel(cfg);
    const auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Enter Flashmode...\nEnter Flashmode...\nEnter Flashmode...\n"
                     "Unknown response 0 0, is FP really connected?\n");
    // 2 x 200 ms and 400 waits of 10 ms, then twice 2 x 200 ms and 50 waits
    EXPECT_GE(r.seconds, 6.2);
    EXPECT_LT(r.seconds, 10.0);
    EXPECT_FALSE(file_exists(path("dump.bin")));
}

TEST_F(read_out, a_panel_that_hangs_up_ends_the_run_promptly) {
    panelsim::config cfg;
    cfg.hang_up_on_flash_request = true;
    start_panel(cfg);
    auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_LT(r.seconds, 2.0) << "2 x 200 ms and no waiting on a hung-up line";

    panel->stop();
    cfg = {};
    cfg.hang_up_after_packets = 3;
    start_panel(cfg);
    r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_LT(r.seconds, 2.0);
    EXPECT_FALSE(file_exists(path("dump.bin")));
    EXPECT_EQ(list_dir(dir).size(), 1U);
}

TEST_F(read_out, a_bootloader_that_never_syncs_ends_with_status_2_after_1000_attempts) {
    panelsim::config cfg;
    cfg.sync_reply_bytes = 0;
    start_panel(cfg);
    const auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Enter Flashmode...\nAccepted (1)\nSync\n"
                     "Can't sync with Frontpanel, powercycle and try without -c option\n");
    EXPECT_GE(r.seconds, 10.4);
    settle();
    EXPECT_EQ(panel->stats().sync_attempts, 1000);
    EXPECT_FALSE(file_exists(path("dump.bin")));
}

TEST_F(read_out, a_missing_acknowledgement_aborts_and_leaves_no_file) {
    panelsim::config cfg;
    cfg.stop_after_packets = 5; // blocks 0 and 40 twice, 80 once
    start_panel(cfg);
    write_file(path("dump.bin"), {9, 9});
    const auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Read 80   \r" + lost_three_times("80") +
                         "Enter Flashmode...\nNo answer from Frontpanel, aborting\n"),
              std::string::npos)
        << r.out;
    // 1 s for each of 4 acknowledgements, 0.1 s of sync bytes, 0.9 s for a flash-mode reply
    EXPECT_LT(r.seconds, 8.0);
    EXPECT_EQ(read_file(path("dump.bin")), (bytes{9, 9}));
    EXPECT_EQ(list_dir(dir).size(), 2U);
}

TEST_F(read_out, a_panel_that_does_not_acknowledge_the_exit_keeps_the_old_dump) {
    panelsim::config cfg;
    cfg.stop_after_packets = 256; // every read packet
    start_panel(cfg);
    write_file(path("dump.bin"), {9, 9});
    const auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Read 1fc0   \rExit Flashmode\nNo answer from Frontpanel, aborting\n"),
              std::string::npos)
        << r.out;
    // Three exit packets, each given 1 s for its acknowledgement and 1.5 s for a firmware to
    // answer, after the read-out. A loaded machine's waits oversleep (13 s seen), so the
    // bound is the 30 s within which a panel that is gone must end the run.
    EXPECT_GT(r.seconds, 7.5);
    EXPECT_LT(r.seconds, 30.0);
    EXPECT_EQ(read_file(path("dump.bin")), (bytes{9, 9}));
    EXPECT_EQ(list_dir(dir).size(), 2U);
}

// The answer to a read is the block's only copy on the line, unchecked: one that comes wrong
// or short is read again, and the dump holds what two reads agree on.
TEST_F(read_out, a_block_read_wrong_or_short_is_read_again_and_the_dump_is_right) {
    using panelsim::fault_place;
    const struct {
        const char* what;
        panelsim::config cfg;
        bool answer_lost;
    } cases[] = {
        {"short", faulty_read_back(0x40, 1, false, 10), true},
        {"first byte inverted", faulty_read_back(0x40, 1, true), false},
        {"one bit of byte 10", corrupted_byte(fault_place::answer, 2, 11, 0x04), false},
        {"its acknowledgement", corrupted_byte(fault_place::answer, 2, 0, 0x10), true},
    };
    for (const auto& c : cases) {
        start_panel(c.cfg);
        const auto r = run({"-r", "dump.bin"});
        EXPECT_EQ(r.status, 0) << c.what << r.out;
        EXPECT_EQ(count_of(r.out, "Read 40   \r\nAnswer lost at 40, trying again\n"),
                  c.answer_lost ? 1 : 0)
            << c.what << r.out;
        const auto flash = panel->flash();
        EXPECT_EQ(read_file(path("dump.bin")), bytes(flash.begin(), flash.end())) << c.what;
        panel->stop();
    }
}

TEST_F(read_out, an_uncreatable_target_fails_before_the_panel_is_contacted) {
    start_panel();
    ASSERT_EQ(mkdir(path("subdir").c_str(), 0755), 0);
    for (const char* target : {"missing/dump.bin", "subdir"}) {
        const auto r = run({"-r", target});
        EXPECT_EQ(r.status, 255) << target;
        EXPECT_EQ(r.err.rfind("Can't create file: ", 0), 0U) << r.err;
        EXPECT_EQ(r.out, "");
    }
    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(read_out, a_missing_or_locked_device_ends_with_status_3_and_nothing_sent) {
    auto r = run({"-r", "dump.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              std::string("Can't open ") + PANEL_LINK_NAME + ": No such file or directory\n");
    EXPECT_FALSE(file_exists(path("dump.bin")));

    start_panel();
    const int holder = open(path(PANEL_LINK_NAME).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    r = run({"-r", "dump.bin"});
    close(holder);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, std::string(PANEL_LINK_NAME) + " is in use by another program\n");
    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(read_out, a_block_handed_over_byte_by_byte_is_taken_in_a_few_reads) {
    panelsim::config cfg;
    cfg.line_timing = true;
    cfg.host_fifo_bytes = 1;
    start_panel(cfg);
    const auto r = run({"-t", "-r", "dump.bin"});
    ASSERT_EQ(r.status, 0) << r.out;
    // Reads that brought bytes between each read command and the next packet: the
    // acknowledgement and the 64 bytes of the block, which trickle in over 5.6 ms.
    std::vector<int> reads_per_block;
    bool in_block = false;
    std::istringstream trace(r.err);
    for (std::string line; std::getline(trace, line);) {
        const auto mark = line.find_first_of("<>");
        if (mark == std::string::npos) {
            continue; // a note: low latency, a wait given up
        }
        if (line[mark] == '>') {
            in_block = line.compare(mark, 5, "> 04 ") == 0;
            if (in_block) {
                reads_per_block.push_back(0);
            }
        } else if (in_block) {
            ++reads_per_block.back();
        }
    }
    ASSERT_EQ(reads_per_block.size(), 256U);
    // Taken one read a byte, a block needs about 33. A busy machine may make panelsim late,
    // and bytes that come after their time are taken as they come, so a few blocks may
    // need more reads than the rest; the typical block and the whole stay small.
    std::sort(reads_per_block.begin(), reads_per_block.end());
    EXPECT_LE(reads_per_block[128], 8) << r.err;
    EXPECT_LE(std::accumulate(reads_per_block.begin(), reads_per_block.end(), 0), 2560) << r.err;
}
