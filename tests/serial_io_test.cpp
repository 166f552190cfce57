// The reading loops: attempt limits, waits only after empty reads, shortfalls reported; and
// the line settings.
#include "serial/serial_port.h"

#include "fake_port.h"
#include "line_expectations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

using fake_port::bytes;

class serial_io : public ::testing::Test {
  protected:
    void SetUp() override { fake_port::reset(); }
};

TEST_F(serial_io, read_bytes_of_nothing_reads_nothing) {
    std::array<std::uint8_t, 1> buffer{};
    EXPECT_EQ(read_bytes(std::span(buffer).first(0)), 0);
    EXPECT_EQ(fake_port::reads(), 0);
    EXPECT_TRUE(fake_port::waits().empty());
}

TEST_F(serial_io, read_bytes_on_a_silent_line_gives_up_after_400_reads_and_waits) {
    std::array<std::uint8_t, 2> buffer{0x11, 0x22};
    EXPECT_EQ(read_bytes(buffer), 0);
    EXPECT_EQ(fake_port::reads(), 400);
    ASSERT_EQ(fake_port::waits().size(), 400U);
    EXPECT_EQ(std::accumulate(fake_port::waits().begin(), fake_port::waits().end(), 0L),
              400L * 10000);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 2>{0x11, 0x22}));
}

TEST_F(serial_io, read_bytes_takes_whatever_is_pending_in_one_read) {
    bytes block(64);
    std::iota(block.begin(), block.end(), 0xC0);
    fake_port::arrive(bytes(block.begin(), block.begin() + 10));
    fake_port::arrive(bytes(block.begin() + 10, block.end()));
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(read_bytes(buffer), 64);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), buffer.begin()));
    EXPECT_EQ(fake_port::reads(), 2);
    EXPECT_EQ(fake_port::waits(), std::vector<int>{10000}) << "a short read means nothing more";
}

TEST_F(serial_io, read_bytes_never_waits_after_a_read_that_filled_the_request) {
    for (std::uint8_t byte = 0; byte < 64; ++byte) {
        fake_port::arrive({byte});
    }
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(read_bytes(buffer), 64);
    EXPECT_EQ(buffer[63], 63);
    EXPECT_EQ(fake_port::reads(), 64);
    EXPECT_EQ(fake_port::waits().size(), 63U);
}

TEST_F(serial_io, read_bytes_counts_each_byte_as_an_attempt) {
    fake_port::silence(350);
    bytes block(64);
    std::iota(block.begin(), block.end(), 1);
    fake_port::arrive(block);
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(read_bytes(buffer), 50);
    EXPECT_EQ(buffer[49], 50);
    EXPECT_EQ(buffer[50], 0);

    // Byte by byte, each arrival costs its read and the empty read after it, exactly as
    // when every read asks for one byte.
    fake_port::reset();
    for (int i = 0; i < 250; ++i) {
        fake_port::arrive({0x7F});
    }
    std::array<std::uint8_t, 300> large{};
    EXPECT_EQ(read_bytes(large), 200);
}

TEST_F(serial_io, read_bytes_on_a_hung_up_line_ends_within_its_attempts) {
    fake_port::arrive({0x5A});
    fake_port::hang_up();
    std::array<std::uint8_t, 2> buffer{};
    EXPECT_EQ(read_bytes(buffer), 1);
    // The short read stands for the first empty read; 398 more end the 400 attempts.
    EXPECT_EQ(fake_port::reads(), 399);
    EXPECT_EQ(fake_port::waits().size(), 399U);
}

// A block's bytes may come one at a time, late: only silence ends the read, 20 waits of it.
TEST_F(serial_io, read_until_quiet_ends_only_after_20_quiet_waits_in_a_row) {
    for (int i = 0; i < 64; ++i) {
        fake_port::silence(i % 2 == 0 ? 20 : 0);
        fake_port::arrive({static_cast<std::uint8_t>(i)});
    }
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(read_until_quiet(buffer, 20), 64);
    EXPECT_EQ(buffer[63], 63);

    fake_port::reset();
    fake_port::arrive({0x01});
    fake_port::silence(21);
    fake_port::arrive({0x02});
    EXPECT_EQ(read_until_quiet(buffer, 20), 1);
    EXPECT_EQ(fake_port::reads(), 22);
}

TEST_F(serial_io, wait_for_bytes_discards_other_bytes_before_the_expected_one) {
    fake_port::arrive({0x13});
    fake_port::arrive({0x00});
    const std::array<std::uint8_t, 1> ack{0x00};
    EXPECT_TRUE(wait_for_bytes(ack));
    EXPECT_EQ(fake_port::reads(), 2);
    EXPECT_EQ(fake_port::waits(), std::vector<int>{10000});
}

TEST_F(serial_io, wait_for_bytes_matches_a_sequence_with_bytes_between) {
    fake_port::arrive({0x01, 0x77, 0x02});
    const std::array<std::uint8_t, 2> expected{0x01, 0x02};
    EXPECT_TRUE(wait_for_bytes(expected));
    EXPECT_EQ(fake_port::reads(), 3);
}

TEST_F(serial_io, wait_for_bytes_gives_up_after_100_reads_without_it) {
    const std::array<std::uint8_t, 1> ack{0x00};
    EXPECT_FALSE(wait_for_bytes(ack));
    EXPECT_EQ(fake_port::reads(), 100);
    EXPECT_EQ(fake_port::waits(), std::vector<int>(100, 10000)) << "1 s of a silent line";

    fake_port::reset();
    fake_port::arrive(bytes(99, 0x13));
    fake_port::arrive({0x00});
    EXPECT_TRUE(wait_for_bytes(ack)) << "the 100th read may still bring it";

    fake_port::reset();
    fake_port::arrive(bytes(100, 0x13));
    fake_port::arrive({0x00});
    EXPECT_FALSE(wait_for_bytes(ack)) << "noise counts like silence";
}

TEST(line_settings, are_raw_115200_8n1_and_leave_unnamed_fields_alone) {
    termios settings;
    std::memset(&settings, 0xFF, sizeof settings);
    apply_line_settings(settings);
    expect_panel_line_settings(settings);
    EXPECT_EQ(settings.c_cc[VINTR], 0xFF);
    EXPECT_EQ(settings.c_cc[VSTOP], 0xFF);
}

TEST_F(serial_io, stale_input_is_discarded_until_a_quiet_wait_within_a_bound) {
    struct drain_case {
        const char* line;
        void (*script)();
        int discarded;
        std::size_t waits;
    };
    const drain_case cases[] = {
        {"silent", [] {}, 0, 1},
        {"a block's end, then an acknowledgement one wait later",
         [] {
             fake_port::arrive(bytes(40, 0x7C));
             fake_port::silence(1);
             fake_port::arrive({0x00});
         },
         41, 2},
        {"hung up after two bytes",
         [] {
             fake_port::arrive({0x01, 0x02});
             fake_port::hang_up();
         },
         2, 0},
        {"a panel that never stops talking",
         [] {
             for (int i = 0; i < 150; ++i) {
                 fake_port::arrive({0x55});
                 fake_port::silence(1);
             }
         },
         50, 50},
    };
    for (const auto& c : cases) {
        fake_port::reset();
        c.script();
        EXPECT_EQ(discard_stale_input(), c.discarded) << c.line;
        EXPECT_EQ(fake_port::waits(), std::vector<int>(c.waits, 20000)) << c.line;
    }
}
