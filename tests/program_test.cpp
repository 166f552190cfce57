// The hex dump layout, the block arithmetic and the retry loop against a scripted port.
#include "program/program.h"
#include "protocol/panel_protocol.h"

#include "exit_expectations.h"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using fake_port::bytes;

namespace {

std::string dump_of(const bytes& data) {
    testing::internal::CaptureStdout();
    hex_dump(data);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(program, hex_dump_prints_sixteen_bytes_a_line_then_an_empty_line) {
    bytes data(64);
    std::iota(data.begin(), data.end(), 0xC0);
    EXPECT_EQ(dump_of(data), "0000 c0 c1 c2 c3 c4 c5 c6 c7 c8 c9 ca cb cc cd ce cf \n"
                             "0010 d0 d1 d2 d3 d4 d5 d6 d7 d8 d9 da db dc dd de df \n"
                             "0020 e0 e1 e2 e3 e4 e5 e6 e7 e8 e9 ea eb ec ed ee ef \n"
                             "0030 f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff \n"
                             "\n");
    EXPECT_EQ(dump_of(bytes(16, 0x0A)),
              "0000 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a 0a \n\n");
    EXPECT_EQ(dump_of({0x00}), "0000 00 \n");
    EXPECT_EQ(dump_of({}), "\n");
}

TEST(program, blocks_cover_the_image_up_to_the_application_area) {
    const std::pair<int, int> cases[] = {{1, 1},      {63, 1},     {64, 1},
                                         {65, 2},     {100, 2},    {7679, 120},
                                         {7680, 120}, {7681, 120}, {32768, 120}};
    for (const auto& [length, blocks] : cases) {
        EXPECT_EQ(blocks_to_program(length), blocks) << length;
    }
}

class program_retries : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_port::reset();
        reset_recovery();
        image_buffer.fill(0);
        for (int i = 0; i < 64; ++i) {
            image_buffer[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
        }
    }
    // Acknowledgements for erase, write, write and read, then the read-back.
    static void attempt_reads_back(const bytes& readback) {
        fake_port::arrive({0x00, 0x00, 0x00, 0x00});
        fake_port::arrive(readback);
    }
    static void writes_acknowledged() { fake_port::arrive({0x00, 0x00, 0x00}); }
    static void read_answers(const bytes& block, int times = 1) {
        for (int i = 0; i < times; ++i) {
            fake_port::arrive({0x00});
            fake_port::arrive(block);
        }
    }
    // The eight blocks above the application area, read until two reads agree before the
    // first erase, and once at the end.
    static void bootloader_area_reads(int times) {
        for (int block = 0; block < 8; ++block) {
            read_answers(bytes(64, static_cast<std::uint8_t>(0xB0 + block)), times);
        }
    }
    static bytes block() { return bytes(image_buffer.begin(), image_buffer.begin() + 64); }
    static bytes wrong_block() {
        bytes wrong = block();
        wrong[7] ^= 0xFF;
        return wrong;
    }
};

TEST_F(program_retries, a_block_read_back_wrong_twice_is_programmed_again_and_all_checked_again) {
    bootloader_area_reads(2);
    writes_acknowledged();
    read_answers(wrong_block(), 2);
    writes_acknowledged();
    read_answers(block());
    read_answers(block()); // the second pass
    bootloader_area_reads(1);
    testing::internal::CaptureStdout();
    program_image(image_buffer, 64, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Program at 0   \rVerify at 0   \r\nVerify error, retry #0\nVerify at 0   \r");
    EXPECT_EQ(fake_port::written().size(), 16U * 4 + 2 * (4 + 69 + 69) + 4U * 4 + 8 * 4);
    EXPECT_TRUE(fake_port::drained());
}

TEST_F(program_retries, a_short_read_back_never_verifies_on_stale_bytes) {
    // Two identical blocks: the stale tail of the first read-back matches the second.
    std::copy_n(image_buffer.begin(), 64, image_buffer.begin() + 64);
    bootloader_area_reads(2);
    writes_acknowledged();
    writes_acknowledged();
    read_answers(block());
    bytes short_back = block();
    short_back.resize(60);
    read_answers(short_back);
    fake_port::silence(21); // 20 quiet waits, then the read that gives up on the last four
    fake_port::silence(4);  // nothing to drain before the filler bytes, nor after them
    read_answers(block());
    bootloader_area_reads(1);
    testing::internal::CaptureStdout();
    program_image(image_buffer, 128, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Program at 0   \rProgram at 40   \rVerify at 0   \rVerify at 40   \r"
              "\nAnswer lost at 40, trying again\n");
    EXPECT_TRUE(fake_port::drained());
}

// With -s, a read that brings part of a block is read again: its stale tail, from the block
// before, must not make it look held.
TEST_F(program_retries, a_short_read_never_finds_a_block_held) {
    std::copy_n(image_buffer.begin(), 64, image_buffer.begin() + 64);
    read_answers(block());
    read_answers(bytes(image_buffer.begin(), image_buffer.begin() + 60));
    fake_port::silence(21); // 20 quiet waits, then the read that gives up on the last four
    fake_port::recovery_succeeds();
    read_answers(block());
    testing::internal::CaptureStdout();
    EXPECT_EQ(program_image(image_buffer, 128, {.only_differing = true}), 0) << "both held";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Program at 0   \rProgram at 40   \r\nAnswer lost at 40, trying again\n");
}

TEST_F(program_retries, without_verification_each_block_gets_one_attempt) {
    attempt_reads_back(bytes(64, 0x99));
    attempt_reads_back(bytes(64, 0x99));
    testing::internal::CaptureStdout();
    program_image(image_buffer, 65, {.skip_verify = true});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "VERIFY SWITCHED OFF!!!\nProgram at 0   \rProgram at 40   \r");
}

class program_retries_DeathTest : public program_retries {};

// An attempt whose answer is lost is made again once the panel is found, 21 attempts in all:
// each erase is acknowledged, no write.
TEST_F(program_retries_DeathTest, an_attempt_whose_answers_keep_being_lost_is_made_21_times) {
    for (int attempt = 1; attempt <= 21; ++attempt) {
        fake_port::arrive({0x00});
        fake_port::silence(100); // the write's acknowledgement waited for in vain
        fake_port::recovery_succeeds();
    }
    EXPECT_EXIT_SAYING(program_image(image_buffer, 64, {.skip_verify = true}), 3,
                       "\r(\nAnswer lost at 0, trying again\n){20}No answer from Frontpanel");
}

// A block found changed again in every pass is mended in ten passes, no more.
TEST_F(program_retries_DeathTest, a_block_that_keeps_changing_ends_the_run_after_ten_passes) {
    bootloader_area_reads(2);
    writes_acknowledged();
    for (int pass = 1; pass <= 10; ++pass) {
        read_answers(wrong_block(), 2);
        writes_acknowledged();
        read_answers(block());
    }
    EXPECT_EXIT_SAYING(program_image(image_buffer, 64, {}), 255,
                       "retry #9\n\nProgrammed blocks keep changing, aborting\n$");
}

TEST_F(program_retries_DeathTest, after_twenty_retries_both_blocks_are_dumped) {
    bytes wrong = block();
    wrong[0] = 0xEE;
    bootloader_area_reads(2);
    for (int attempt = 0; attempt < 21; ++attempt) {
        writes_acknowledged();
        read_answers(wrong, 2);
    }
    EXPECT_EXIT_SAYING(program_image(image_buffer, 64, {}), 255,
                       "retry #19\nToo many retries, aborting\nData should be:\n"
                       "0000 00 01 02 03 .*\nData is:\n0000 ee 01 02 03 .*3f \n\n$");
}
