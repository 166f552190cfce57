// panelsim's line timing driven directly, with the time given: when the host's bytes reach the
// panel, when its answers are handed to the host, and when a hang-up may drop the line.
#include "line_timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

namespace {

using panelsim::action_kind;
using panelsim::bytes;

constexpr std::int64_t BYTE_NS = 86806; // 10 bits at 115200 baud, rounded up
constexpr std::int64_t MS = 1'000'000;  // ns

const bytes READ_0000 = {0x04, 0x42, 0x00, 0x00};
const bytes ERASE_0000 = {0x02, 0x42, 0x00, 0x00};
const bytes VERSION_REQUEST = {0xA5, 0x00, 0x00};

// A write of 64 zero bytes to 0x0000: its checksum is 0 too.
bytes write_zeros_0000() {
    bytes p(4 + 64 + 1, 0x00);
    p[0] = 0x03;
    p[1] = 0x42;
    return p;
}

// One hand-over to the host: how many bytes, and when.
struct load {
    std::int64_t at_ns;
    std::size_t bytes;
    bool operator==(const load&) const = default;
};

std::ostream& operator<<(std::ostream& os, const load& l) {
    return os << l.bytes << " bytes at " << l.at_ns << " ns";
}

// What a line that takes every byte at once hands over, when each falls due.
struct line_run {
    std::vector<load> loads;
    bytes data;
    std::vector<std::pair<std::int64_t, action_kind>> events;
};

line_run run_line(panelsim::line_timing& line) {
    line_run run;
    while (const std::optional<std::int64_t> due = line.next_due()) {
        const bytes chunk = line.due_bytes(*due);
        line.wrote(chunk.size(), *due);
        if (!chunk.empty()) {
            run.loads.push_back({*due, chunk.size()});
            run.data.insert(run.data.end(), chunk.begin(), chunk.end());
        }
        if (const std::optional<action_kind> event = line.take_due_event(*due)) {
            run.events.emplace_back(*due, *event);
        }
    }
    return run;
}

panelsim::config bootloader_on_the_line() {
    panelsim::config cfg;
    cfg.start_in_bootloader = true;
    cfg.line_timing = true;
    return cfg;
}

TEST(line_timing, host_bytes_reach_the_panel_a_byte_time_apart) {
    struct {
        const char* what;
        std::vector<std::pair<std::int64_t, bytes>> reads; // what the line gave, and when
        std::int64_t first_answer_ns;
    } const cases[] = {
        {"written together", {{0, VERSION_REQUEST}}, 347'224}, // 3 + 1 bytes
        {"read while the one before crosses", {{0, {0xA5, 0x00}}, {86'806, {0x00}}}, 347'224},
        {"the last after a pause", {{0, {0xA5, 0x00}}, {868'060, {0x00}}}, 1'041'672}, // 10+1+1
        {"one a millisecond", {{0, {0xA5}}, {MS, {0x00}}, {2 * MS, {0x00}}}, 2'173'612},
    };
    for (const auto& c : cases) {
        panelsim::config cfg;
        cfg.line_timing = true;
        cfg.host_fifo_bytes = 1;
        panelsim::line_timing line(cfg);
        for (const auto& [at, data] : c.reads) {
            line.take_in(data, at);
        }
        const line_run run = run_line(line);
        EXPECT_EQ(run.data, (bytes{0x5A, 0x00, 0x01, 0x00})) << c.what;
        ASSERT_EQ(run.loads.size(), 4U) << c.what;
        EXPECT_EQ(run.loads.front().at_ns, c.first_answer_ns) << c.what;
        EXPECT_EQ(run.loads.back().at_ns, c.first_answer_ns + 3 * BYTE_NS) << c.what;
    }
}

// A read's acknowledgement and block, 65 bytes, asked for at 0 by a 4-byte packet.
TEST(line_timing, answer_is_handed_over_a_fifo_load_at_a_time) {
    std::vector<load> one_by_one;
    for (std::int64_t n = 1; n <= 65; ++n) {
        one_by_one.push_back({(4 + n) * BYTE_NS, 1});
    }
    const std::vector<load> by_eight = {
        {12 * BYTE_NS, 8}, {20 * BYTE_NS, 8}, {28 * BYTE_NS, 8}, {36 * BYTE_NS, 8},
        {44 * BYTE_NS, 8}, {52 * BYTE_NS, 8}, {60 * BYTE_NS, 8}, {68 * BYTE_NS, 8},
        {69 * BYTE_NS, 1}, // the end of an answer is never held back
    };
    struct {
        int fifo;
        const std::vector<load>& loads;
    } const cases[] = {
        {1, one_by_one},
        {8, by_eight},
        {0, one_by_one},             // no FIFO: every byte on its own
        {100, {{69 * BYTE_NS, 65}}}, // the whole answer in one load
    };
    for (const auto& c : cases) {
        panelsim::config cfg = bootloader_on_the_line();
        cfg.host_fifo_bytes = c.fifo;
        panelsim::line_timing line(cfg);
        line.take_in(READ_0000, 0);
        const line_run run = run_line(line);
        EXPECT_EQ(run.loads, c.loads) << "fifo " << c.fifo;
        ASSERT_EQ(run.data.size(), 65U) << "fifo " << c.fifo;
        EXPECT_EQ(run.data.front(), 0x00) << "the acknowledgement comes first";
        EXPECT_EQ(run.loads.back().at_ns, 5'989'614) << "4 + 65 bytes at 86806 ns";
    }
}

TEST(line_timing, erase_and_write_are_acknowledged_after_their_work) {
    const bytes write = write_zeros_0000();
    bytes erase_then_write = ERASE_0000;
    erase_then_write.insert(erase_then_write.end(), write.begin(), write.end());
    struct {
        const char* what;
        bool line_timing;
        std::vector<std::pair<std::int64_t, bytes>> reads;
        std::vector<std::int64_t> acks_ns;
    } const cases[] = {
        // 4 bytes in, 6 ms erase, 1 byte back.
        {"erase", true, {{0, ERASE_0000}}, {6'434'030}},
        // Sent once the erase is acknowledged: 69 bytes in, 3 ms write, 1 byte back.
        {"write after the erase's answer",
         true,
         {{0, ERASE_0000}, {6'434'030, write}},
         {6'434'030, 15'510'450}},
        // The write has crossed before the erase is done, and waits for it.
        {"write right behind the erase", true, {{0, erase_then_write}}, {6'434'030, 9'434'030}},
        {"erase without line timing", false, {{MS, ERASE_0000}}, {0}},
    };
    for (const auto& c : cases) {
        panelsim::config cfg = bootloader_on_the_line();
        cfg.line_timing = c.line_timing;
        cfg.erase_ms = 6.0;
        cfg.write_ms = 3.0;
        panelsim::line_timing line(cfg);
        for (const auto& [at, data] : c.reads) {
            line.take_in(data, at);
        }
        const line_run run = run_line(line);
        std::vector<std::int64_t> acks;
        for (const load& l : run.loads) {
            acks.push_back(l.at_ns);
        }
        EXPECT_EQ(acks, c.acks_ns) << c.what;
        EXPECT_EQ(run.data, bytes(c.acks_ns.size(), 0x00)) << c.what;
        EXPECT_EQ(line.machine().stats().erases, 1) << c.what;
    }
}

// After the panel's last answer the line is dropped, but only once the host has read that
// answer, since a hang-up discards what the host has not read; at the latest 500 ms after.
TEST(line_timing, hang_up_waits_for_the_host_to_read_the_last_answer) {
    struct look {
        std::int64_t after_ns; // since the hang-up fell due
        bool host_input_unread;
        bool drops;
    };
    struct {
        const char* what;
        bool after_a_read; // else at a flash-mode request, with nothing answered
        std::int64_t hang_up_ns;
        bool host_sends_more; // another read as the hang-up falls due, its answer still owed
        std::vector<look> looks;
    } const cases[] = {
        {"read at once",
         true,
         5'989'614,
         false,
         {{0, true, false}, {MS, false, false}, {2 * MS, false, true}}},
        // The pseudo-terminal hands written bytes over from a kernel work queue: an empty input
        // right after the write does not mean they were read.
        {"handed over late",
         true,
         5'989'614,
         false,
         {{3 * MS, false, false}, {4 * MS, true, false}, {5 * MS, false, true}}},
        {"never read",
         true,
         5'989'614,
         false,
         {{2 * MS, true, false}, {500 * MS - 1, true, false}, {500 * MS, true, true}}},
        {"more still owed",
         true,
         5'989'614,
         true,
         {{0, true, false},
          {2 * MS, false, false},
          {500 * MS - 1, false, false},
          {500 * MS, false, true}}},
        {"nothing answered", false, 0, false, {{MS, false, false}, {2 * MS, false, true}}},
    };
    for (const auto& c : cases) {
        panelsim::config cfg;
        if (c.after_a_read) {
            cfg = bootloader_on_the_line();
            cfg.hang_up_after_packets = 1;
        } else {
            cfg.hang_up_on_flash_request = true;
        }
        panelsim::line_timing line(cfg);
        line.take_in(c.after_a_read ? READ_0000 : bytes{0xA5, 0x3C, 0x5E, 0x27}, 0);
        EXPECT_FALSE(line.hang_up_due(0, false)) << c.what << ": no hang-up before its time";
        const line_run run = run_line(line);
        EXPECT_EQ(run.data.size(), c.after_a_read ? 65U : 0U) << c.what;
        ASSERT_EQ(run.events.size(), 1U) << c.what;
        EXPECT_EQ(run.events[0], std::pair(c.hang_up_ns, action_kind::hang_up)) << c.what;
        ASSERT_TRUE(line.hang_up_pending()) << c.what;
        if (c.host_sends_more) {
            line.take_in(READ_0000, c.hang_up_ns);
        }
        for (const look& l : c.looks) {
            EXPECT_EQ(line.hang_up_due(c.hang_up_ns + l.after_ns, l.host_input_unread), l.drops)
                << c.what << " at +" << l.after_ns << " ns";
        }
        EXPECT_FALSE(line.next_due()) << c.what << ": nothing owed on a dropped line";
    }
}

// At stop everything owed goes at once, and a hang-up among it is not waited for.
TEST(line_timing, stop_hands_over_everything_owed_at_once) {
    panelsim::config cfg = bootloader_on_the_line();
    cfg.hang_up_after_packets = 1;
    panelsim::line_timing line(cfg);
    line.take_in(READ_0000, 0);
    EXPECT_TRUE(line.due_bytes(0).empty());
    line.stop();
    const bytes owed = line.due_bytes(0);
    EXPECT_EQ(owed.size(), 65U);
    line.wrote(owed.size(), 0);
    EXPECT_EQ(line.take_due_event(0), action_kind::hang_up);
    EXPECT_FALSE(line.hang_up_pending());
    EXPECT_EQ(line.machine().sent(), owed);
}

} // namespace
