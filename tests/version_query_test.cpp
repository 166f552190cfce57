// The firmware frame receiver and the version decision against a scripted port.
#include "protocol/panel_protocol.h"

#include "exit_expectations.h"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>

using fake_port::bytes;

namespace {

const bytes VERSION_0105 = {0x5A, 0x00, 0x01, 0x05};

// The replies to the version requests, one arrival each; nullopt: a request not answered.
void answer_requests(std::initializer_list<std::optional<bytes>> replies) {
    for (const auto& reply : replies) {
        if (reply) {
            fake_port::arrive(*reply);
        } else {
            fake_port::silence(1001);
        }
    }
}

} // namespace

class version_query : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_port::reset();
        frame_pos = 0;
        frame_payload_len = 0;
    }
    std::array<std::uint8_t, 32> frame{};
};

TEST_F(version_query, payload_lengths_by_frame_type) {
    EXPECT_EQ(frame_payload_length(0x00), 2);
    EXPECT_EQ(frame_payload_length(0x0B), 7);
    EXPECT_EQ(frame_payload_length(0xF1), 4);
    EXPECT_EQ(frame_payload_length(0xF2), 4);
    EXPECT_EQ(frame_payload_length(0x7E), 0);
    EXPECT_EQ(frame_payload_length(0x5A), 0);
}

TEST_F(version_query, silence_ends_after_1001_empty_polls_and_1000_waits_of_1ms) {
    EXPECT_EQ(receive_frame(frame, 1000), 0);
    EXPECT_EQ(fake_port::reads(), 1001);
    EXPECT_EQ(fake_port::waits(), std::vector<int>(1000, 1000));
}

TEST_F(version_query, bytes_before_the_start_byte_are_skipped) {
    fake_port::arrive({0x00, 0x13, 0x5A, 0x00, 0x01, 0x05});
    EXPECT_EQ(receive_frame(frame, 1000), 4);
    EXPECT_EQ(frame[0], 0x5A);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[3], 0x05);
    EXPECT_TRUE(fake_port::waits().empty());
}

TEST_F(version_query, frames_end_at_the_length_of_their_type) {
    fake_port::arrive({0x5A, 0x7E, 0x5A, 0xF1, 1, 2, 3, 4, 0x5A, 0x0B, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(receive_frame(frame, 1000), 2);
    EXPECT_EQ(fake_port::reads(), 2);
    EXPECT_EQ(receive_frame(frame, 1000), 6);
    EXPECT_EQ(frame[5], 4);
    EXPECT_EQ(receive_frame(frame, 1000), 9);
    EXPECT_EQ(frame[8], 7);
    EXPECT_EQ(frame_pos, 0);
}

TEST_F(version_query, a_frame_cut_off_by_silence_completes_in_the_next_call) {
    fake_port::arrive({0x5A, 0x00, 0x01});
    EXPECT_EQ(receive_frame(frame, 3), 0);
    fake_port::arrive({0x05});
    EXPECT_EQ(receive_frame(frame, 3), 4);
    EXPECT_EQ(frame[3], 0x05);
}

TEST_F(version_query, arriving_bytes_neither_use_up_nor_renew_the_budget) {
    // A budget of 2 allows three empty polls.
    for (const std::uint8_t byte : {0x5A, 0x00, 0x01, 0x05}) {
        fake_port::silence(byte == 0x5A || byte == 0x00 ? 1 : 0);
        fake_port::arrive({byte});
    }
    EXPECT_EQ(receive_frame(frame, 2), 4);

    SetUp();
    for (const std::uint8_t byte : {0x5A, 0x00, 0x01, 0x05}) {
        fake_port::silence(1);
        fake_port::arrive({byte});
    }
    EXPECT_EQ(receive_frame(frame, 2), 0);
    EXPECT_EQ(fake_port::reads(), 5);
}

TEST_F(version_query, version_is_compared_unsigned_against_the_minimum) {
    struct {
        std::int32_t minimum;
        version_answer expected;
    } const cases[] = {{0x105, version_answer::current},
                       {0x104, version_answer::current},
                       {0x106, version_answer::older},
                       {-1, version_answer::older},
                       {0x7FFFFFFF, version_answer::older}};
    for (const auto& c : cases) {
        SetUp();
        answer_requests({VERSION_0105, VERSION_0105});
        testing::internal::CaptureStdout();
        EXPECT_EQ(query_version(c.minimum), c.expected) << c.minimum;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Get firmware version...\nFrontpanel version 0105\n");
        EXPECT_EQ(fake_port::written(), (bytes{0xA5, 0x00, 0x00, 0xA5, 0x00, 0x00}));
    }
}

TEST_F(version_query, anything_but_a_version_reply_means_safe_bootloader_mode) {
    for (const bytes& reply : {bytes{}, bytes{0x5A, 0x7E}, bytes{0x5A, 0xF1, 1, 2, 3, 4}}) {
        SetUp();
        fake_port::arrive(reply);
        testing::internal::CaptureStdout();
        EXPECT_EQ(query_version(0x105), version_answer::unknown);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Get firmware version...\nFrontpanel seems to be in safe bootloader mode\n");
    }
}

// A flipped bit in a reply looks like any other version: only a reply that the next request
// brings again is taken, and one that none repeats is no version.
TEST_F(version_query, a_version_counts_only_when_two_replies_in_a_row_agree) {
    const bytes v0104 = {0x5A, 0x00, 0x01, 0x04};
    const bytes v0106 = {0x5A, 0x00, 0x01, 0x06};
    const bytes cut = {0x5A}; // a reply cut off by silence after its start byte
    struct {
        std::vector<std::optional<bytes>> replies;
        version_answer expected;
        std::size_t requests;
    } const cases[] = {
        {{v0104, VERSION_0105, VERSION_0105}, version_answer::current, 3},
        {{VERSION_0105, std::nullopt, VERSION_0105, VERSION_0105}, version_answer::current, 4},
        // the second reply cut off by silence after its start: the third starts a frame anew
        {{VERSION_0105, cut, std::nullopt, VERSION_0105, VERSION_0105}, version_answer::current, 4},
        {{v0106, VERSION_0105, v0106, VERSION_0105}, version_answer::unknown, 4},
        {{VERSION_0105, bytes{0x5A, 0xF1, 1, 2, 3, 4}, v0104, v0104}, version_answer::older, 4},
    };
    for (const auto& c : cases) {
        SetUp();
        for (const auto& reply : c.replies) {
            answer_requests({reply});
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(query_version(0x105), c.expected);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(fake_port::written().size(), 3 * c.requests);
    }
}

TEST_F(version_query, connect_with_a_version_check_queries_before_the_flash_mode_request) {
    answer_requests({bytes{0x5A, 0x00, 0x01, 0x04}, bytes{0x5A, 0x00, 0x01, 0x04}});
    fake_port::silence(2); // nothing to drain: one quiet wait
    fake_port::arrive({0x5A, 0xFD});
    fake_port::arrive({0x55});
    testing::internal::CaptureStdout();
    connect_panel(0x105);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Get firmware version...\nFrontpanel version 0104\n"
              "Enter Flashmode...\nAccepted (1)\nSync\nSynced\n");
    bytes expected(16, 0x00);
    expected.insert(expected.end(), {0xA5, 0x00, 0x00, 0xA5, 0x00, 0x00});
    expected.insert(expected.end(), 48, 0x00);
    expected.insert(expected.end(), {0xA5, 0x3C, 0x5E, 0x27, 0xAA});
    EXPECT_EQ(fake_port::written(), expected);
}

class version_query_DeathTest : public version_query {};

TEST_F(version_query_DeathTest, a_current_panel_ends_the_run_with_status_1) {
    answer_requests({VERSION_0105, VERSION_0105});
    EXPECT_EXIT_SAYING(connect_panel(0x105), 1,
                       "Frontpanel version 0105\nFrontpanel version OK, no programming done.\n$");
}
