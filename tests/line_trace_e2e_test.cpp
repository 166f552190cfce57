// The line trace end to end: what -t writes on standard error while the tool talks to
// panelsim, and that standard output does not change with it.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

using panelsim::bytes;

namespace {

struct trace_entry {
    double ms = 0;
    char mark = 0; // '>' to the panel, '<' from it, '-' a wait that gave up
    bytes data;
    std::string note;
    int empty_reads = 0;
};

// Reads a trace back; a line not in the trace's form fails the test.
std::vector<trace_entry> parse_trace(const std::string& text) {
    static const std::regex form(R"(^( *\d+\.\d{3}) (?:([<>]) ((?:[0-9a-f]{2} )*[0-9a-f]{2})|- )"
                                 R"((.*?))(?: \(after (\d+) empty reads?\))?$)");
    std::vector<trace_entry> entries;
    std::istringstream lines(text);
    double last_ms = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, form)) {
            ADD_FAILURE() << "not a trace line: <" << line << ">";
            continue;
        }
        trace_entry entry;
        entry.ms = std::stod(m[1]);
        EXPECT_EQ(m[1].length(), 9) << line;
        EXPECT_GE(entry.ms, last_ms) << line;
        last_ms = entry.ms;
        entry.mark = m[2].matched ? m[2].str()[0] : '-';
        std::istringstream hex(m[3]);
        for (unsigned byte = 0; hex >> std::hex >> byte;) {
            entry.data.push_back(static_cast<std::uint8_t>(byte));
        }
        entry.note = m[4];
        entry.empty_reads = m[5].matched ? std::stoi(m[5]) : 0;
        entries.push_back(entry);
    }
    return entries;
}

// The bytes of consecutive lines of one direction joined: the exchange turn by turn.
std::vector<std::pair<char, bytes>> turns(const std::vector<trace_entry>& entries) {
    std::vector<std::pair<char, bytes>> joined;
    for (const auto& entry : entries) {
        if (joined.empty() || joined.back().first != entry.mark) {
            joined.emplace_back(entry.mark, bytes{});
        }
        joined.back().second.insert(joined.back().second.end(), entry.data.begin(),
                                    entry.data.end());
    }
    return joined;
}

bytes all_of(const std::vector<trace_entry>& entries, char mark) {
    bytes all;
    for (const auto& entry : entries) {
        if (entry.mark == mark) {
            all.insert(all.end(), entry.data.begin(), entry.data.end());
        }
    }
    return all;
}

} // namespace

class line_trace_run : public e2e {};

TEST_F(line_trace_run, shows_both_directions_in_order_and_leaves_standard_output_alone) {
    start_panel();
    const auto plain = run({"-i"});
    const auto traced = run({"-t", "-i"});
    ASSERT_EQ(traced.status, 0) << traced.err;
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(plain.err, "");
    const std::vector<std::pair<char, bytes>> expected = {{'>', version_request_line()},
                                                          {'<', {0x5A, 0x00, 0x01, 0x00}}};
    EXPECT_EQ(turns(parse_trace(traced.err)), expected) << traced.err;
}

TEST_F(line_trace_run, a_silent_panel_shows_as_its_requests_and_one_line_giving_up) {
    panelsim::config cfg;
    cfg.version_reply = bytes{};
    start_panel(cfg);
    const auto r = run({"-t", "-i"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Get firmware version...\nFrontpanel seems to be in safe bootloader mode\n");
    const auto entries = parse_trace(r.err);
    ASSERT_EQ(entries.size(), 3U) << r.err;
    EXPECT_EQ(all_of(entries, '>'), version_request_line());
    EXPECT_EQ(entries[2].note, "wait for a frame gave up");
    EXPECT_EQ(entries[2].empty_reads, 1001);
    EXPECT_GE(entries[2].ms, 1000.0) << "1000 waits of 1 ms";
}

TEST_F(line_trace_run, a_traced_read_out_carries_every_byte_of_the_line) {
    start_panel();
    const auto plain = run({"-r", "plain.bin"});
    settle();
    start_panel();
    const auto traced = run({"-t", "-r", "traced.bin"});
    ASSERT_EQ(traced.status, 0) << traced.out;
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(read_file(path("traced.bin")), read_file(path("plain.bin")));
    settle();
    const auto entries = parse_trace(traced.err);
    EXPECT_EQ(all_of(entries, '>'), panel->received());
    EXPECT_EQ(all_of(entries, '<'), panel->sent());
}
