// The simulated panel driven from the host's side of its pseudo-terminal.
#include "line_noise.h"
#include "panel_sim.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using panelsim::bytes;
using steady = std::chrono::steady_clock;

constexpr double BYTE_US = 86.806; // 10 bits at 115200 baud, rounded up to the ns
// Upper bound of an answer's time: far above what a busy machine's scheduling adds, far below
// what a time taken in the wrong unit (seconds for milliseconds) would make it.
constexpr double LATE_US = 1'000'000.0;
const bytes FLASH_REQUEST = {0xA5, 0x3C, 0x5E, 0x27};
const bytes VERSION_REQUEST = {0xA5, 0x00, 0x00};

// The host's end of the line, opened through the panel's link.
class host_line {
  public:
    explicit host_line(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            throw std::runtime_error("cannot open " + path);
        }
    }
    ~host_line() { ::close(fd_); }
    host_line(const host_line&) = delete;
    host_line& operator=(const host_line&) = delete;

    void send(const bytes& data) const {
        ASSERT_EQ(::write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    // Up to n bytes, waiting at most timeout_ms for all of them.
    bytes receive(std::size_t n, int timeout_ms = 2000) const {
        bytes got;
        const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t buffer[256];
            const ssize_t r = ::read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }

    // Whatever arrives within the window; empty when the panel stays silent.
    bytes receive_for(int window_ms) const { return receive(4096, window_ms); }

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// A read of the host's end once the panel has dropped the line. The kernel marks the far
// end closed before it hangs the line up, and a read in between fails with EIO: the line
// has ended once a read returns 0, within a bound.
ssize_t read_after_hang_up(int fd) {
    const auto deadline = steady::now() + std::chrono::seconds(2);
    std::uint8_t b = 0;
    ssize_t r = ::read(fd, &b, 1);
    while (r < 0 && errno == EIO && steady::now() < deadline) {
        usleep(1000);
        r = ::read(fd, &b, 1);
    }
    return r;
}

bytes packet(std::uint8_t command, int address) {
    return {command, 0x42, static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address & 0xFF)};
}

bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes write_packet(int address, const bytes& data, int checksum_error = 0) {
    bytes p = concat(packet(0x03, address), data);
    const unsigned sum = std::accumulate(data.begin(), data.end(), 0u);
    p.push_back(static_cast<std::uint8_t>(sum + static_cast<unsigned>(checksum_error)));
    return p;
}

bytes block_of(const panelsim::flash_image& image, int address) {
    return bytes(image.begin() + address, image.begin() + address + 64);
}

// A started panel in its own directory with the host's end of the line open.
struct session {
    explicit session(panelsim::config cfg = {})
        : sim(std::make_unique<panelsim::panel>(std::move(cfg), dir.file("frontpanel"))) {
        sim->start();
        host = std::make_unique<host_line>(dir.file("frontpanel"));
    }

    // Sends `data` and returns up to `n` bytes of the answer.
    bytes ask(const bytes& data, std::size_t n) const {
        host->send(data);
        return host->receive(n);
    }

    void enter_bootloader() {
        host->send(concat(bytes(16, 0x00), FLASH_REQUEST));
        ASSERT_EQ(host->receive(2), (bytes{0x5A, 0xFD}));
        host->send({0xAA});
        ASSERT_EQ(host->receive(1).size(), 1u);
    }

    temp_dir dir;
    std::unique_ptr<panelsim::panel> sim;
    std::unique_ptr<host_line> host;
};

bytes pattern_block(std::uint8_t seed) {
    bytes data(64);
    for (int i = 0; i < 64; ++i) {
        data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return data;
}

TEST(panel_firmware, answers_version_request_with_frame_after_zero_burst) {
    panelsim::config cfg;
    cfg.version = 0x0213;
    session s(cfg);
    s.host->send(concat(bytes(48, 0x00), VERSION_REQUEST));
    EXPECT_EQ(s.host->receive(4), (bytes{0x5A, 0x00, 0x02, 0x13}));
    EXPECT_FALSE(s.sim->in_bootloader());
}

TEST(panel_firmware, version_reply_override_and_silence) {
    panelsim::config cfg;
    cfg.version_reply = bytes{0x13, 0x5A, 0x01};
    session s(cfg);
    s.host->send(VERSION_REQUEST);
    EXPECT_EQ(s.host->receive(3), (bytes{0x13, 0x5A, 0x01}));

    panelsim::config silent;
    silent.version_reply = bytes{};
    session q(silent);
    q.host->send(VERSION_REQUEST);
    EXPECT_TRUE(q.host->receive_for(100).empty());
}

TEST(panel_firmware, ignores_unknown_bytes_and_broken_requests) {
    session s;
    // 0xAA is no sync in the firmware; a broken request's last byte may start a new one.
    s.host->send({0x00, 0x13, 0xAA, 0x04, 0x42, 0xA5, 0x3C, 0x00, 0xA5, 0xA5, 0x00, 0x00});
    EXPECT_EQ(s.host->receive(4), (bytes{0x5A, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(s.host->receive_for(50).empty());
    EXPECT_FALSE(s.sim->in_bootloader());
    EXPECT_EQ(s.sim->stats().sync_attempts, 0);
}

TEST(panel_firmware, flash_mode_request_enters_bootloader_and_records_exact_bytes) {
    session s;
    const bytes request = concat(bytes(48, 0x00), FLASH_REQUEST);
    s.host->send(request);
    EXPECT_EQ(s.host->receive(2), (bytes{0x5A, 0xFD}));
    EXPECT_TRUE(s.sim->in_bootloader());
    s.sim->stop();
    const panelsim::panel_state state = s.sim->snapshot();
    EXPECT_EQ(state.received, request);
    EXPECT_EQ(state.sent, (bytes{0x5A, 0xFD}));
    EXPECT_EQ(state.stats.flash_requests, 1);
    EXPECT_TRUE(state.in_bootloader);
}

TEST(panel_firmware, flash_mode_reply_configurable_or_absent) {
    panelsim::config cfg;
    cfg.flash_mode_reply = {};
    session s(cfg);
    s.host->send(FLASH_REQUEST);
    EXPECT_TRUE(s.host->receive_for(100).empty());
    // The sync answer, with nothing before it, is the sign that the request was taken in.
    s.host->send({0xAA});
    EXPECT_EQ(s.host->receive(1), bytes{0x55});
    EXPECT_TRUE(s.sim->in_bootloader());
}

TEST(panel_bootloader, sync_answers_configured_byte_count) {
    session s;
    s.enter_bootloader();
    s.host->send({0xAA});
    EXPECT_EQ(s.host->receive(1).size(), 1u);
    EXPECT_TRUE(s.host->receive_for(50).empty());

    panelsim::config two;
    two.sync_reply_bytes = 2;
    session t(two);
    t.host->send(FLASH_REQUEST);
    t.host->receive(2);
    t.host->send({0xAA, 0xAA});
    EXPECT_EQ(t.host->receive(4).size(), 4u);
    EXPECT_TRUE(t.host->receive_for(50).empty());
    EXPECT_EQ(t.sim->stats().sync_attempts, 2);

    panelsim::config none;
    none.sync_reply_bytes = 0;
    session u(none);
    u.host->send(FLASH_REQUEST);
    u.host->receive(2);
    u.host->send({0xAA, 0xAA, 0xAA});
    EXPECT_TRUE(u.host->receive_for(100).empty());
    // A silent panel gives no sign of having read the bytes: stop() takes in what is pending.
    u.sim->stop();
    EXPECT_EQ(u.sim->stats().sync_attempts, 3);
}

TEST(panel_bootloader, started_in_bootloader_ignores_version_and_answers_ff_ff) {
    panelsim::config cfg;
    cfg.start_in_bootloader = true;
    session s(cfg);
    EXPECT_TRUE(s.sim->in_bootloader());
    s.host->send(concat(bytes(16, 0x00), VERSION_REQUEST));
    EXPECT_TRUE(s.host->receive_for(100).empty());
    s.host->send(FLASH_REQUEST);
    EXPECT_EQ(s.host->receive(2), (bytes{0xFF, 0xFF}));
    EXPECT_TRUE(s.sim->in_bootloader());
    s.host->send({0xAA});
    EXPECT_EQ(s.host->receive(1).size(), 1u);
}

TEST(panel_bootloader, repeated_flash_request_answers_ff_ff) {
    session s;
    s.enter_bootloader();
    s.host->send(concat(bytes(16, 0x00), FLASH_REQUEST));
    EXPECT_EQ(s.host->receive(2), (bytes{0xFF, 0xFF}));
    EXPECT_TRUE(s.sim->in_bootloader());
}

TEST(panel_bootloader, erase_write_read_round_trip) {
    panelsim::config firmware_at_once;
    firmware_at_once.firmware_start_ms = 0;
    session s(firmware_at_once);
    s.enter_bootloader();
    const bytes data = pattern_block(0x31);
    s.host->send(packet(0x02, 0x0140));
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    s.host->send(write_packet(0x0140, data));
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    s.host->send(packet(0x04, 0x0140));
    EXPECT_EQ(s.host->receive(65), concat({0x00}, data));
    EXPECT_EQ(block_of(s.sim->flash(), 0x0140), data);
    // Neighbouring blocks keep their content.
    EXPECT_EQ(block_of(s.sim->flash(), 0x0100), block_of(panelsim::default_flash(), 0x0100));
    EXPECT_EQ(block_of(s.sim->flash(), 0x0180), block_of(panelsim::default_flash(), 0x0180));

    s.host->send({0x01, 0x42});
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    EXPECT_FALSE(s.sim->in_bootloader());
    s.host->send(VERSION_REQUEST);
    EXPECT_EQ(s.host->receive(4), (bytes{0x5A, 0x00, 0x01, 0x00}));

    const auto packets = s.sim->packets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].command, 0x02);
    EXPECT_EQ(packets[0].address, 0x0140);
    EXPECT_EQ(packets[1].command, 0x03);
    EXPECT_TRUE(packets[1].checksum_ok);
    EXPECT_EQ(packets[2].command, 0x04);
    EXPECT_EQ(packets[3].command, 0x01);
    EXPECT_EQ(packets[3].address, -1);
    EXPECT_TRUE(s.sim->violations().empty());
    const auto stats = s.sim->stats();
    EXPECT_EQ(stats.erases, 1);
    EXPECT_EQ(stats.writes, 1);
}

TEST(panel_bootloader, write_without_erase_programs_and_of_old_and_new) {
    session s;
    panelsim::flash_image image = panelsim::default_flash();
    std::fill(image.begin() + 0x200, image.begin() + 0x240, std::uint8_t{0x0F});
    s.sim->set_flash(image);
    s.enter_bootloader();
    const bytes data(64, 0x3C);
    s.host->send(write_packet(0x0200, data));
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    s.host->send(packet(0x04, 0x0200));
    EXPECT_EQ(s.host->receive(65), concat({0x00}, bytes(64, 0x0C)));
}

TEST(panel_bootloader, wrong_checksum_is_recorded_and_not_programmed) {
    session s;
    s.enter_bootloader();
    s.host->send(packet(0x02, 0x0080));
    s.host->receive(1);
    s.host->send(write_packet(0x0080, pattern_block(0x10), 1));
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    EXPECT_EQ(block_of(s.sim->flash(), 0x0080), bytes(64, 0xFF));
    const auto packets = s.sim->packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_FALSE(packets[1].checksum_ok);
    EXPECT_EQ(packets[1].address, 0x0080);
}

TEST(panel_bootloader, erases_and_writes_in_bootloader_area_are_violations) {
    session s;
    s.enter_bootloader();
    for (const bytes& p :
         {packet(0x02, 0x1DC0), write_packet(0x1DC0, pattern_block(1)), packet(0x04, 0x1E00),
          packet(0x02, 0x1E00), write_packet(0x1FC0, pattern_block(2))}) {
        s.host->send(p);
        ASSERT_FALSE(s.host->receive(1).empty());
        s.host->receive_for(p[0] == 0x04 ? 50 : 0);
    }
    const auto violations = s.sim->violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0].command, 0x02);
    EXPECT_EQ(violations[0].address, 0x1E00);
    EXPECT_EQ(violations[1].command, 0x03);
    EXPECT_EQ(violations[1].address, 0x1FC0);
}

TEST(panel_bootloader, out_of_range_address_is_masked_to_its_block) {
    session s;
    s.enter_bootloader();
    s.host->send(packet(0x02, 0x2047));
    EXPECT_EQ(s.host->receive(1), bytes{0x00});
    EXPECT_EQ(block_of(s.sim->flash(), 0x0040), bytes(64, 0xFF));
    s.host->send(packet(0x04, 0xFFFF));
    EXPECT_EQ(s.host->receive(65), concat({0x00}, block_of(s.sim->flash(), 0x1FC0)));
    EXPECT_EQ(s.sim->packets().at(1).address, 0xFFFF);
}

TEST(panel_faults, stop_after_packets_goes_silent_but_records) {
    panelsim::config cfg;
    cfg.stop_after_packets = 2;
    session s(cfg);
    s.enter_bootloader();
    EXPECT_EQ(s.ask(packet(0x02, 0x0000), 1), bytes{0x00});
    EXPECT_EQ(s.ask(packet(0x04, 0x0000), 65).size(), 65u);
    s.host->send(packet(0x02, 0x0040));
    EXPECT_TRUE(s.host->receive_for(100).empty());
    s.host->send({0xAA});
    EXPECT_TRUE(s.host->receive_for(50).empty());
    s.sim->stop(); // takes in what the silent panel may not have read yet
    EXPECT_EQ(s.sim->packets().size(), 3u);
}

TEST(panel_faults, stopped_panel_resumes_once_at_a_flash_mode_request) {
    for (const int at_request : {1, 2}) {
        panelsim::config cfg;
        cfg.stop_after_packets = 1;
        cfg.resume_at_flash_request = at_request;
        session s(cfg);
        s.enter_bootloader();
        EXPECT_EQ(s.ask(packet(0x02, 0x0000), 1), bytes{0x00});
        s.host->send(packet(0x02, 0x0040));
        EXPECT_TRUE(s.host->receive_for(100).empty());
        if (at_request == 2) {
            s.host->send(FLASH_REQUEST);
            EXPECT_TRUE(s.host->receive_for(100).empty()) << "the first request is not answered";
        }
        EXPECT_EQ(s.ask({0xA5, 0x3C, 0x5E, 0x27}, 2), (bytes{0xFF, 0xFF}));
        EXPECT_EQ(s.ask(packet(0x02, 0x0080), 1), bytes{0x00});
        EXPECT_EQ(s.ask(packet(0x02, 0x00C0), 1), bytes{0x00}) << "the silence comes once";
    }
}

TEST(panel_faults, hang_up_after_packets_closes_the_line) {
    panelsim::config cfg;
    cfg.hang_up_after_packets = 1;
    session s(cfg);
    s.enter_bootloader();
    s.host->send(packet(0x04, 0x0040));
    // A slow host still gets the last answer: a hang-up discards what is unread.
    usleep(50'000);
    EXPECT_EQ(s.host->receive(65).size(), 65u);
    pollfd pfd{s.host->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 100), 1) << "dropped once the last answer is read, not later";
    EXPECT_TRUE(pfd.revents & POLLHUP);
    EXPECT_EQ(read_after_hang_up(s.host->fd()), 0);
    s.sim->stop();
    EXPECT_FALSE(std::filesystem::is_symlink(s.dir.file("frontpanel")));
}

TEST(panel_faults, hang_up_on_flash_request_never_answers) {
    panelsim::config cfg;
    cfg.hang_up_on_flash_request = true;
    session s(cfg);
    s.host->send(concat(bytes(16, 0x00), FLASH_REQUEST));
    pollfd pfd{s.host->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 100), 1) << "nothing to read: dropped at once";
    EXPECT_TRUE(pfd.revents & POLLHUP);
    EXPECT_EQ(read_after_hang_up(s.host->fd()), 0);
    EXPECT_TRUE(s.sim->sent().empty());
}

// Driven directly, without a line: what the panel does for each of three packets.
TEST(panel_faults, stop_and_hang_up_after_packets_count_answers) {
    using enum panelsim::action_kind;
    using kinds = std::vector<panelsim::action_kind>;
    struct {
        int stop_after;
        int hang_up_after;
        std::vector<kinds> per_packet; // read, read, exit
    } const cases[] = {
        {-1, -1, {{reply}, {reply}, {reply, session_end}}},
        {1, -1, {{reply}, {}, {session_end}}},
        {-1, 0, {{hang_up}, {hang_up}, {hang_up}}},
        {-1, 2, {{reply}, {reply, hang_up}, {hang_up}}},
        {1, 2, {{reply}, {}, {session_end}}},
    };
    for (const auto& c : cases) {
        panelsim::config cfg;
        cfg.start_in_bootloader = true;
        cfg.stop_after_packets = c.stop_after;
        cfg.hang_up_after_packets = c.hang_up_after;
        panelsim::panel_machine machine(cfg);
        const bytes packets[] = {packet(0x04, 0x0000), packet(0x04, 0x0040), {0x01, 0x42}};
        for (std::size_t i = 0; i < std::size(packets); ++i) {
            kinds done;
            for (const std::uint8_t b : packets[i]) {
                for (const panelsim::action& a : machine.feed(b).actions) {
                    done.push_back(a.kind);
                }
            }
            EXPECT_EQ(done, c.per_packet[i]) << "stop after " << c.stop_after << ", hang up after "
                                             << c.hang_up_after << ", packet " << i;
        }
        EXPECT_EQ(machine.packets().size(), 3u);
    }
}

// The line's flips: about the rate asked for, the same for a seed, none at rate 0, each way
// its own.
TEST(panel_noise, flips_bits_at_the_rate_and_the_same_for_a_seed) {
    const auto flips = [](double rate, std::uint64_t seed) {
        panelsim::line_noise noise(rate, seed);
        bytes seen;
        for (int i = 0; i < 125'000; ++i) { // a million bits each way
            seen.push_back(noise.to_panel(0x00));
            seen.push_back(noise.to_host(0xFF));
        }
        return std::make_pair(noise.flipped_bits(), seen);
    };
    const auto [count, seen] = flips(1e-4, 7);
    EXPECT_GT(count, 150); // 200 expected in 2 million bits
    EXPECT_LT(count, 250);
    EXPECT_EQ(flips(1e-4, 7).second, seen);
    EXPECT_NE(flips(1e-4, 8).second, seen);
    EXPECT_EQ(flips(0, 7).first, 0);
    // Each way draws its own flips: with every bit flipped at even odds, they differ at once.
    panelsim::line_noise halves(0.5, 7);
    EXPECT_NE((bytes{halves.to_panel(0), halves.to_panel(0), halves.to_panel(0)}),
              (bytes{halves.to_host(0), halves.to_host(0), halves.to_host(0)}));
}

TEST(panel_faults, noise_comes_before_every_acknowledgement) {
    panelsim::config cfg;
    cfg.noise_before_ack = {0x13, 0x00, 0x5A};
    session s(cfg);
    s.enter_bootloader();
    s.host->send(packet(0x02, 0x0000));
    EXPECT_EQ(s.host->receive(4), (bytes{0x13, 0x00, 0x5A, 0x00}));
    s.host->send(packet(0x04, 0x0000));
    EXPECT_EQ(s.host->receive(68), concat({0x13, 0x00, 0x5A, 0x00}, bytes(64, 0xFF)));
}

TEST(panel_faults, corrupt_read_back_only_for_first_reads_of_the_block) {
    panelsim::config cfg;
    cfg.fault_block = 0x0080;
    cfg.fault_reads = 2;
    cfg.fault_corrupt = true;
    session s(cfg);
    s.enter_bootloader();
    const bytes good = block_of(panelsim::default_flash(), 0x0080);
    bytes bad = good;
    bad[0] = static_cast<std::uint8_t>(~bad[0]);
    s.host->send(packet(0x04, 0x0040));
    EXPECT_EQ(s.host->receive(65), concat({0x00}, block_of(panelsim::default_flash(), 0x0040)));
    for (const bytes& expected : {bad, bad, good}) {
        s.host->send(packet(0x04, 0x0080));
        EXPECT_EQ(s.host->receive(65), concat({0x00}, expected));
    }
    EXPECT_EQ(block_of(s.sim->flash(), 0x0080), good);
}

TEST(panel_faults, short_read_back_sends_only_some_bytes) {
    panelsim::config cfg;
    cfg.fault_block = 0x0000;
    cfg.fault_reads = 1;
    cfg.fault_short_bytes = 10;
    session s(cfg);
    s.enter_bootloader();
    s.host->send(packet(0x04, 0x0000));
    const panelsim::flash_image initial = panelsim::default_flash();
    EXPECT_EQ(s.host->receive(11), concat({0x00}, bytes(initial.begin(), initial.begin() + 10)));
    EXPECT_TRUE(s.host->receive_for(50).empty());
    s.host->send(packet(0x04, 0x0000));
    EXPECT_EQ(s.host->receive(65).size(), 65u);
}

// The line's timing is pinned down exactly in line_timing_test; this is the check that the
// serving thread keeps to it on a real pseudo-terminal.
TEST(panel_timing, read_reply_is_paced_at_line_speed) {
    panelsim::config cfg;
    cfg.line_timing = true;
    session s(cfg);
    s.enter_bootloader();
    const auto before = steady::now();
    s.host->send(packet(0x04, 0x0000));
    const bytes got = s.host->receive(65);
    const double us = std::chrono::duration<double, std::micro>(steady::now() - before).count();
    ASSERT_EQ(got.size(), 65u);
    EXPECT_GE(us, (4 + 65) * BYTE_US);
    EXPECT_LT(us, LATE_US);
}

TEST(panel_stats, counts_the_line_and_computes_its_limit) {
    panelsim::config cfg;
    cfg.erase_ms = 5.0;
    cfg.write_ms = 2.0;
    session s(cfg);
    s.enter_bootloader(); // 21 host bytes, 3 panel bytes, one sync
    s.host->send(packet(0x02, 0x0000));
    s.host->receive(1);
    s.host->send(write_packet(0x0000, pattern_block(9)));
    s.host->receive(1);
    const panelsim::line_stats taken = s.sim->take_stats();
    EXPECT_EQ(taken.host_bytes, 21 + 4 + 69);
    EXPECT_EQ(taken.panel_bytes, 3 + 1 + 1);
    EXPECT_EQ(taken.erases, 1);
    EXPECT_EQ(taken.writes, 1);
    EXPECT_EQ(taken.sync_attempts, 1);
    EXPECT_EQ(taken.flash_requests, 1);
    EXPECT_NEAR(taken.line_limit_ms(cfg), 99 * BYTE_US / 1000.0 + 5.0 + 2.0 + 10.0 + 400.0, 1e-6);

    const panelsim::line_stats after = s.sim->stats();
    EXPECT_EQ(after.host_bytes, 0);
    EXPECT_EQ(after.erases, 0);
    s.host->send(packet(0x04, 0x0000));
    s.host->receive(65);
    const panelsim::line_stats read = s.sim->stats();
    EXPECT_EQ(read.host_bytes, 4);
    EXPECT_EQ(read.panel_bytes, 65);
    // No flash-mode request in this period: no fixed pauses.
    EXPECT_NEAR(read.line_limit_ms(cfg), 69 * BYTE_US / 1000.0, 1e-6);
}

TEST(panel_line, link_replaces_symlink_refuses_file_and_is_removed) {
    temp_dir dir;
    const std::string link = dir.file("frontpanel");
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    {
        panelsim::panel sim({}, link);
        sim.start();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.slave_path());
        // A raw line: the slave does not echo what the host writes.
        host_line host(link);
        host.send({0x41, 0x0D, 0x0A});
        EXPECT_TRUE(host.receive_for(50).empty());
        sim.stop();
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
        sim.stop();
        EXPECT_EQ(sim.received(), (bytes{0x41, 0x0D, 0x0A}));
    }
    { std::ofstream(link) << "not a link"; }
    panelsim::panel refused({}, link);
    EXPECT_ANY_THROW(refused.start());
    EXPECT_TRUE(std::filesystem::is_regular_file(link));
}

TEST(panel_line, stop_takes_in_bytes_the_host_just_wrote) {
    session s;
    const bytes burst = concat(bytes(48, 0x00), FLASH_REQUEST);
    s.host->send(burst);
    s.host.reset();
    s.sim->stop();
    EXPECT_EQ(s.sim->received(), burst);
    EXPECT_TRUE(s.sim->in_bootloader());
}

TEST(panel_line, survives_the_host_closing_and_reopening) {
    session s;
    s.host->send(VERSION_REQUEST);
    EXPECT_EQ(s.host->receive(4).size(), 4u);
    s.host.reset();
    host_line again(s.dir.file("frontpanel"));
    again.send(VERSION_REQUEST);
    EXPECT_EQ(again.receive(4), (bytes{0x5A, 0x00, 0x01, 0x00}));
}

TEST(panel_flash, default_flash_is_not_uniform_and_blocks_differ) {
    const panelsim::flash_image image = panelsim::default_flash();
    EXPECT_NE(block_of(image, 0x0000), block_of(image, 0x0040));
    EXPECT_NE(block_of(image, 0x1DC0), block_of(image, 0x1E00));
    EXPECT_NE(block_of(image, 0x0000), bytes(64, 0xFF));
}

} // namespace
