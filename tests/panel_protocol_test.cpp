// The bootloader protocol against a scripted port: exact packet bytes, the connection
// sequence, synchronisation and the bounded acknowledgement wait.
#include "protocol/panel_protocol.h"

#include "exit_expectations.h"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

using fake_port::bytes;

namespace {

bytes concat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const bytes FLASH_REQUEST = {0xA5, 0x3C, 0x5E, 0x27};

} // namespace

class panel_protocol : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_port::reset();
        reset_recovery();
    }
};

TEST_F(panel_protocol, checksum_is_the_byte_sum_modulo_256) {
    std::array<std::uint8_t, BLOCK_SIZE> data{};
    std::iota(data.begin(), data.end(), 1); // 1 + ... + 64 = 2080 = 0x820
    EXPECT_EQ(block_checksum(data), 0x20);
    data.fill(0x10);
    EXPECT_EQ(block_checksum(data), 0x00);
    data.fill(0xFF);
    EXPECT_EQ(block_checksum(data), 0xC0);
}

TEST_F(panel_protocol, write_block_sends_one_whole_packet_and_waits_for_the_ack) {
    std::array<std::uint8_t, BLOCK_SIZE> data{};
    data.fill(0xFF);
    fake_port::arrive({0x00});
    write_block(0x1FC0, data);
    const bytes expected = concat({{0x03, 0x42, 0x1F, 0xC0}, bytes(64, 0xFF), {0xC0}});
    EXPECT_EQ(fake_port::written(), expected);
    EXPECT_EQ(fake_port::reads(), 1);
}

TEST_F(panel_protocol, erase_and_exit_packets) {
    fake_port::arrive({0x00});
    fake_port::arrive({0x00});
    erase_block(0x1DC0);
    testing::internal::CaptureStdout();
    exit_flash_mode();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Exit Flashmode\n");
    EXPECT_EQ(fake_port::written(), (bytes{0x02, 0x42, 0x1D, 0xC0, 0x01, 0x42}));
}

TEST_F(panel_protocol, read_block_sends_its_command_then_reads_the_block_after_the_ack) {
    bytes block(64);
    std::iota(block.begin(), block.end(), 0x40);
    fake_port::arrive({0x13, 0x00});
    fake_port::arrive(block);
    std::array<std::uint8_t, BLOCK_SIZE> destination{};
    EXPECT_EQ(read_block(0x0040, destination), 64);
    EXPECT_EQ(fake_port::written(), (bytes{0x04, 0x42, 0x00, 0x40}));
    EXPECT_EQ(fake_port::answers(), std::vector<int>{65}) << "the ack and the block, one answer";
    EXPECT_TRUE(std::equal(block.begin(), block.end(), destination.begin()));
}

TEST_F(panel_protocol, read_block_reports_a_short_block_and_keeps_the_tail) {
    fake_port::arrive({0x00});
    fake_port::arrive(bytes(10, 0x55));
    std::array<std::uint8_t, BLOCK_SIZE> destination{};
    destination.fill(0xEE);
    EXPECT_EQ(read_block(0, destination), 10);
    EXPECT_EQ(destination[9], 0x55);
    EXPECT_EQ(destination[10], 0xEE);
}

TEST_F(panel_protocol, connect_sends_48_zero_bytes_then_the_flash_mode_request) {
    fake_port::arrive({0x13, 0x13, 0x13}); // the end of a killed run's block, drained
    fake_port::silence(1);
    fake_port::arrive({0x00}); // and its acknowledgement, late, drained too
    fake_port::silence(2);     // a quiet wait ends the drain
    fake_port::arrive({0x5A, 0xFD});
    fake_port::arrive({0x55});
    testing::internal::CaptureStdout();
    connect_panel(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Enter Flashmode...\nAccepted (1)\nSync\nSynced\n");
    EXPECT_EQ(fake_port::opens(), 1);
    EXPECT_EQ(fake_port::written(), concat({bytes(48, 0x00), FLASH_REQUEST, {0xAA}}));
    EXPECT_EQ(fake_port::pauses(), (std::vector<int>{200000, 200000, 10000}));
    EXPECT_EQ(fake_port::waits(), (std::vector<int>{20000, 20000}));
}

TEST_F(panel_protocol, flash_mode_reply_of_a_panel_already_in_its_bootloader) {
    fake_port::arrive({0xFF, 0xFF});
    testing::internal::CaptureStdout();
    enter_flash_mode();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Enter Flashmode...\nAccepted (2)\n");

    // Late bytes of an earlier run's answer, still coming after the two taken for the reply.
    fake_port::reset();
    fake_port::arrive({0x36, 0x15});
    fake_port::arrive({0x07, 0x5A, 0xFD});
    fake_port::silence(2);
    fake_port::arrive({0xFF, 0xFF});
    testing::internal::CaptureStdout();
    enter_flash_mode();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Enter Flashmode...\nEnter Flashmode...\nAccepted (2)\n");
    EXPECT_EQ(fake_port::written(), concat({FLASH_REQUEST, FLASH_REQUEST}));
}

TEST_F(panel_protocol, sync_needs_exactly_one_byte_in_answer) {
    fake_port::silence(2); // nothing to drain: one quiet wait
    fake_port::arrive({0x5A, 0xFD});
    fake_port::silence(1);           // attempt 1: nothing
    fake_port::arrive({0x55, 0x55}); // attempt 2: two bytes do not count
    fake_port::arrive({0x55});       // attempt 3: in sync
    testing::internal::CaptureStdout();
    connect_panel(0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake_port::written(), concat({bytes(48, 0x00), FLASH_REQUEST, {0xAA, 0xAA, 0xAA}}));
    EXPECT_EQ(std::count(fake_port::pauses().begin(), fake_port::pauses().end(), 10000), 3);
}

class panel_protocol_DeathTest : public panel_protocol {};

TEST_F(panel_protocol_DeathTest, rejected_flash_mode_replies_end_the_run_with_status_3) {
    const std::pair<bytes, const char*> cases[] = {
        {{0x5A, 0xFF}, "Unknown response 5a ff, is FP really connected\\?"},
        {{0xFF, 0xFD}, "Unknown response ff fd, is FP really connected\\?"},
        {{}, "Unknown response 0 0, is FP really connected\\?"},
    };
    for (const auto& [reply, message] : cases) {
        fake_port::reset();
        fake_port::arrive(reply);
        EXPECT_EXIT_SAYING(enter_flash_mode(), 3, message);
    }
}

TEST_F(panel_protocol_DeathTest, a_bootloader_that_never_answers_sync_ends_with_status_2) {
    fake_port::silence(2); // nothing to drain: one quiet wait
    fake_port::arrive({0x5A, 0xFD});
    fake_port::arrive(bytes(1000, 0x55)); // one read takes all: never exactly one byte
    EXPECT_EXIT_SAYING(connect_panel(0), 2,
                       "Sync\nCan't sync with Frontpanel, powercycle and try without -c option\n");
}

TEST_F(panel_protocol, a_missing_acknowledgement_is_reported_to_the_caller) {
    EXPECT_FALSE(erase_block(0));
    EXPECT_EQ(fake_port::reads(), 100);
    fake_port::arrive(bytes(500, 0x13));
    std::array<std::uint8_t, BLOCK_SIZE> block{};
    EXPECT_EQ(read_block(0x40, block), -1);
}

// 21 reads that never settle end the run by how they failed: whole blocks that never agree
// with the read before, or no whole block at all.
TEST_F(panel_protocol_DeathTest, a_block_that_never_settles_ends_the_run_by_how_its_reads_failed) {
    const auto read_21_times = [](std::size_t sent) { // bytes of the block each read brings
        for (int read = 1; read <= 21; ++read) {
            fake_port::arrive({0x00});
            fake_port::arrive(bytes(sent, static_cast<std::uint8_t>(read)));
            if (sent < 64) {
                fake_port::silence(21); // 20 quiet waits, then the read that gives up
                fake_port::recovery_succeeds();
            }
        }
        std::array<std::uint8_t, BLOCK_SIZE> got{};
        read_agreed_block(0x40, got);
    };
    EXPECT_EXIT_SAYING(read_21_times(64), 255, "Reads of the block at 40 never agreed, aborting");
    EXPECT_EXIT_SAYING(read_21_times(10), 3, "Incomplete read at 40, aborting\n$");
}

// After a lost answer: filler bytes that complete any packet begun; at the second lost in a
// row sync bytes too, at the third the connection sequence again. A panel that answers that
// but no packet is given up at the tenth answer lost in a row (an acknowledgement starts the
// count again), a silent one at the fourth, and a line that has hung up at once.
TEST_F(panel_protocol_DeathTest, answers_lost_in_a_row_escalate_until_the_panel_counts_as_gone) {
    const bytes filler(68, 0xFF);
    const bytes expected[] = {filler, concat({filler, bytes(10, 0xAA)}),
                              concat({filler, bytes(48, 0x00), FLASH_REQUEST, {0xAA}})};
    const auto lose_nine = [&] {
        for (int lost = 1; lost <= 9; ++lost) {
            fake_port::reset();
            if (lost % 3 == 0) { // the connection sequence is answered from the bootloader
                fake_port::silence(6);
                fake_port::arrive({0xFF, 0xFF});
                fake_port::arrive({0x55});
            }
            recover_panel(0x40);
            EXPECT_EQ(fake_port::written(), expected[(lost - 1) % 3]) << "answer lost " << lost;
        }
    };
    testing::internal::CaptureStdout();
    lose_nine();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9 * 2 + 3 * 2) << out;
    fake_port::arrive({0x00});
    erase_block(0); // acknowledged
    const auto lose_ten = [&] {
        lose_nine();
        recover_panel(0x40);
    };
    EXPECT_EXIT_SAYING(lose_ten(), 3,
                       "^(\nAnswer lost at 40, trying again\n(Enter Flashmode...\nAccepted "
                       "\\(2\\)\n)?){9}No answer from Frontpanel, aborting\n$");

    reset_recovery();
    fake_port::reset();
    testing::internal::CaptureStdout();
    for (int lost = 1; lost <= 3; ++lost) {
        recover_panel(0x40);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EXIT_SAYING(recover_panel(0x40), 3, "^No answer from Frontpanel, aborting\n$");
    reset_recovery();
    fake_port::hang_up();
    EXPECT_EXIT_SAYING(recover_panel(0x40), 3, "^No answer from Frontpanel, aborting\n$");
}
