// Fuzz target: panelsim's panel fed the host's bytes one at a time, without a line. The first
// input byte picks the panel's settings (0: a healthy panel running its firmware), the rest is
// what the host sends. After every byte the panel's answers and records are checked against
// what the protocol allows.
#include "panel_machine.h"
#include "require.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

using panelsim::action_kind;
using panelsim::bytes;

constexpr int BOOTLOADER_START = 0x1E00; // the first address programming must leave alone
constexpr std::uint16_t VERSION = 0x1234;
constexpr std::uint8_t EXIT = 0x01; // bootloader packet commands
constexpr std::uint8_t ERASE = 0x02;
constexpr std::uint8_t WRITE = 0x03;
constexpr std::uint8_t READ = 0x04;

panelsim::config settings(std::uint8_t choice) {
    panelsim::config cfg;
    cfg.version = VERSION;
    cfg.start_in_bootloader = (choice & 0x01) != 0;
    if (choice & 0x02) {
        cfg.noise_before_ack = {0x13, 0x00, 0x5A};
    }
    cfg.sync_reply_bytes = (choice >> 2) & 0x03;
    cfg.stop_after_packets = (choice & 0x10) ? 3 : -1;
    cfg.hang_up_after_packets = (choice & 0x20) ? 2 : -1;
    if (choice & 0x40) {
        cfg.fault_block = 0x0040;
        cfg.fault_reads = 2;
        cfg.fault_corrupt = true;
        cfg.fault_short_bytes = 10;
    }
    if (choice & 0x80) {
        cfg.flash_mode_reply = {};
        cfg.hang_up_on_version_request = true;
    }
    return cfg;
}

bool programs(const panelsim::packet& p) {
    return p.command == ERASE || p.command == WRITE;
}

// What the checks remember between bytes.
struct observer {
    panelsim::config cfg;
    panelsim::flash_image flash;
    bool bootloader = false;
    std::size_t packets = 0;
    std::size_t violations = 0;
    panelsim::line_stats stats;
    int faulted_reads = 0;
    bool hung_up = false;
};

bool area_changed(const panelsim::flash_image& before, const panelsim::flash_image& after, int from,
                  int to) {
    return !std::equal(before.begin() + from, before.begin() + to, after.begin() + from);
}

// The block a read of `p` sends back, with the configured fault while it lasts.
bytes expected_read(observer& o, const panelsim::packet& p, const panelsim::flash_image& flash) {
    const int block = p.address & (FLASH_SIZE - 1) & ~(BLOCK_SIZE - 1);
    bytes data(flash.begin() + block, flash.begin() + block + BLOCK_SIZE);
    if (p.address == o.cfg.fault_block && o.faulted_reads < o.cfg.fault_reads) {
        ++o.faulted_reads;
        data[0] = static_cast<std::uint8_t>(~data[0]);
        data.resize(static_cast<std::size_t>(o.cfg.fault_short_bytes));
    }
    return data;
}

// Only an erase or a write changes the flash, and one in the bootloader's area is recorded.
void check_flash(const observer& o, const panelsim::panel_machine& m) {
    const bool programmed = m.packets().size() > o.packets && programs(m.packets().back());
    require(!area_changed(o.flash, m.flash(), 0, FLASH_SIZE) || programmed,
            "the flash changed without an erase or write");
    require(!area_changed(o.flash, m.flash(), BOOTLOADER_START, FLASH_SIZE) ||
                m.violations().size() > o.violations,
            "the bootloader's area changed without a violation recorded");
}

void check_packet(observer& o, const panelsim::panel_machine& m, const bytes* reply) {
    const panelsim::packet& p = m.packets().back();
    require(o.bootloader, "a packet was taken outside the bootloader");
    require(p.command >= EXIT && p.command <= READ, "a packet with an unknown command");
    const bool violation = programs(p) && p.address >= BOOTLOADER_START;
    require(m.violations().size() == o.violations + (violation ? 1 : 0),
            "an erase or write of the bootloader's area not recorded as a violation");
    bytes expected = o.cfg.noise_before_ack;
    expected.push_back(0x00);
    if (p.command == READ) {
        const bytes data = expected_read(o, p, m.flash());
        expected.insert(expected.end(), data.begin(), data.end());
    }
    if (reply != nullptr) {
        require(*reply == expected, "a packet's answer is not its acknowledgement and data");
    }
}

// The one reply a byte that completed no packet may bring.
void check_request_reply(const observer& o, const panelsim::panel_machine& m, const bytes& reply) {
    if (m.stats().sync_attempts > o.stats.sync_attempts) {
        require(reply == bytes(static_cast<std::size_t>(o.cfg.sync_reply_bytes), 0x55),
                "a sync answer");
    } else if (m.stats().flash_requests > o.stats.flash_requests) {
        require(reply == (o.bootloader ? bytes{0xFF, 0xFF} : o.cfg.flash_mode_reply),
                "a flash-mode reply");
    } else {
        const std::uint16_t version = m.firmware_version();
        require(!o.bootloader && reply == bytes{0x5A, 0x00, static_cast<std::uint8_t>(version >> 8),
                                                static_cast<std::uint8_t>(version & 0xFF)},
                "a version frame");
    }
}

void check_answer(observer& o, const panelsim::panel_machine& m, const panelsim::response& r) {
    const bytes* reply = nullptr;
    int replies = 0;
    for (const panelsim::action& a : r.actions) {
        require(!o.hung_up || a.kind != action_kind::reply, "a reply after the hang-up");
        if (a.kind == action_kind::reply) {
            reply = &a.data;
            ++replies;
        } else if (a.kind == action_kind::hang_up) {
            o.hung_up = true;
        } else {
            require(!m.packets().empty() && m.packets().back().command == EXIT,
                    "a session ended without an exit packet");
            // An erased flash holds no firmware to start: the bootloader starts afresh.
            const bool erased = m.flash()[0] == 0xFF && m.flash()[1] == 0xFF;
            require(m.in_bootloader() == erased,
                    "the firmware started from an erased flash, or a held one was not started");
        }
    }
    require(replies <= 1, "more than one reply to one byte");
    check_flash(o, m);
    if (m.packets().size() > o.packets) {
        check_packet(o, m, reply);
    } else if (reply != nullptr) {
        check_request_reply(o, m, *reply);
    }
}

void remember(observer& o, const panelsim::panel_machine& m) {
    o.flash = m.flash();
    o.bootloader = m.in_bootloader();
    o.packets = m.packets().size();
    o.violations = m.violations().size();
    o.stats = m.stats();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    observer o;
    o.cfg = settings(data[0]);
    panelsim::panel_machine machine(o.cfg);
    remember(o, machine);
    for (std::size_t i = 1; i < size; ++i) {
        // Each byte a byte time after the last, as on the line.
        const auto at = static_cast<std::int64_t>(i) * BYTE_TIME_NS;
        const panelsim::response r = machine.feed(data[i], at);
        check_answer(o, machine, r);
        remember(o, machine);
    }
    return 0;
}
