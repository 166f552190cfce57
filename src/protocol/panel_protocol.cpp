// The bootloader protocol: zero bursts, flash mode, synchronisation and the block packets,
// and finding the bootloader again when an answer is lost.
#include "protocol/panel_protocol.h"

#include "common/fail.h"
#include "report/run_report.h"
#include "serial/serial_port.h"

#include <cstdio>

static constexpr std::array<std::uint8_t, 1> ACK_SEQUENCE = {ACK};

static int lost_in_a_row = 0;   // answers lost since the panel last acknowledged a packet
static int reconnects_made = 0; // connection sequences gone through again in this run
// The connection sequence made again met silence: if the packet sent after it goes unanswered
// too, nothing is listening.
static bool reconnect_unanswered = false;

void reset_recovery() {
    lost_in_a_row = 0;
    reconnects_made = 0;
    reconnect_unanswered = false;
}

void send_zero_burst() {
    constexpr std::array<std::uint8_t, ZERO_BURST_SIZE> zeros{};
    port_write(zeros);
}

// Each packet waits for its acknowledgement before the next may go out.
static bool acknowledged() {
    if (!wait_for_bytes(ACK_SEQUENCE)) {
        return false;
    }
    lost_in_a_row = 0;
    reconnect_unanswered = false;
    return true;
}

// Sends sync bytes until one is answered with exactly one byte, at most `attempts` of them.
// In sync, the bootloader answers with exactly one byte; more means it is still reading an
// earlier sync byte as part of a packet.
static bool find_sync(int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        constexpr std::array<std::uint8_t, 1> sync = {SYNC_BYTE};
        port_write(sync);
        pause_us(SYNC_WINDOW_US);
        std::array<std::uint8_t, 64> answer{};
        if (port_read(answer) == 1) {
            return true;
        }
    }
    return false;
}

static void synchronise() {
    std::printf("Sync\n");
    if (find_sync(SYNC_ATTEMPTS)) {
        std::printf("Synced\n");
        return;
    }
    trace_note("sync gave up after %d sync bytes", SYNC_ATTEMPTS);
    fail(EXIT_NO_SYNC, "Can't sync with Frontpanel, powercycle and try without -c option\n");
}

// The flash-mode request and its reply, read within `reply_reads` attempts.
static std::array<std::uint8_t, 2> request_flash_mode(int reply_reads) {
    std::printf("Enter Flashmode...\n");
    port_write(FLASH_MODE_REQUEST);
    pause_us(FLASH_REPLY_PAUSE_US);
    std::array<std::uint8_t, 2> reply{};
    read_bytes(reply, reply_reads);
    pause_us(FLASH_REPLY_PAUSE_US);
    return reply;
}

// Says which of the two accepting replies came; false for any other.
static bool accepted(const std::array<std::uint8_t, 2>& reply) {
    if (reply == FLASH_MODE_FROM_FIRMWARE) {
        std::printf("Accepted (1)\n");
        report.entered = entry_mode::from_firmware;
    } else if (reply == FLASH_MODE_FROM_BOOTLOADER) {
        std::printf("Accepted (2)\n");
        report.entered = entry_mode::from_bootloader;
    } else {
        return false;
    }
    return true;
}

void connect_panel(std::int32_t minimum_version) {
    open_panel_port();
    if (minimum_version != 0) {
        send_zero_burst();
        version_gate(minimum_version);
    }
    for (int burst = 0; burst < ZERO_BURSTS; ++burst) {
        send_zero_burst();
    }
    discard_stale_input();
    enter_flash_mode();
    synchronise();
}

// A request whose bits a noisy line flipped is not recognised, and a reply can come later than
// the wait on a busy host: the request is made again once the line is quiet. A panel already
// switched by an earlier request answers from its bootloader (ff ff).
void enter_flash_mode() {
    constexpr std::array<std::uint8_t, 2> silence{};
    auto reply = request_flash_mode(READ_ATTEMPTS);
    auto shown = reply; // the last reply that brought anything: it tells most
    for (int request = 1; !accepted(reply); ++request) {
        shown = reply == silence ? shown : reply;
        if (request == FLASH_MODE_REQUESTS) {
            fail(EXIT_NO_PANEL, "Unknown response %x %x, is FP really connected?\n", shown[0],
                 shown[1]);
        }
        if (discard_stale_input() > 0) {
            trace_note("bytes after the flash-mode reply: asking again");
        }
        reply = request_flash_mode(REPEATED_REPLY_READS);
    }
}

// A corrupted byte can leave the bootloader inside a packet the tool never sent: a command
// byte flipped into a write's makes it wait for 68 more bytes, whatever comes, and a command
// byte among a write's data starts a packet of its own. Whatever the bootloader does with such
// bytes, a run of filler bytes completes any packet begun: as data they clear no bit of flash,
// as addresses they lie far beyond it, and on their own they start nothing. The answer such a
// packet may still bring is let go before the packet is sent again.
static void complete_pending_packet() {
    discard_stale_input();
    std::array<std::uint8_t, FILLER_BYTES> filler{};
    filler.fill(FILLER);
    port_write(filler);
    discard_stale_input();
}

// The connection sequence once more, for a panel whose bootloader took a corrupted packet for
// the exit: its firmware accepts the request again. A bootloader that ignores the request in
// flash mode answers a sync byte, or at least the packet sent again. False when nothing
// answered.
static bool reconnect() {
    ++reconnects_made;
    ++report.reconnections;
    trace_note("connecting again");
    for (int burst = 0; burst < ZERO_BURSTS; ++burst) {
        send_zero_burst();
    }
    discard_stale_input();
    const bool accepting = accepted(request_flash_mode(REPEATED_REPLY_READS));
    return find_sync(RESYNC_ATTEMPTS) || accepting;
}

// Every bootloader answers a packet read from its start, so that comes first; sync bytes,
// which not every bootloader answers once synchronised, and the connection sequence, which
// not every bootloader answers in flash mode, come only when answers keep being lost, each in
// turn. The panel counts as gone when the line has hung up, when nothing answered the
// connection sequence nor the packet sent after it, or once LOST_ANSWERS are lost in a row.
void recover_panel(int address) {
    if (line_hung_up() || reconnect_unanswered || ++lost_in_a_row == LOST_ANSWERS) {
        fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
    }
    ++report.answers_lost;
    std::printf("\nAnswer lost at %x, trying again\n", address);
    complete_pending_packet();
    switch (lost_in_a_row % 3) {
    case 1: // the packet again is enough for every bootloader
        break;
    case 2:
        find_sync(RESYNC_ATTEMPTS);
        break;
    default:
        if (reconnects_made < RECONNECTS) {
            reconnect_unanswered = !reconnect();
        } else {
            find_sync(RESYNC_ATTEMPTS);
        }
        break;
    }
}

std::uint8_t block_checksum(block_view data) {
    unsigned sum = 0;
    for (const std::uint8_t byte : data) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::array<std::uint8_t, 4> block_command(std::uint8_t command, int address) {
    return {command, PACKET_MARK, static_cast<std::uint8_t>((address >> 8) & 0xFF),
            static_cast<std::uint8_t>(address & 0xFF)};
}

std::array<std::uint8_t, WRITE_PACKET_SIZE> write_packet(int address, block_view data) {
    std::array<std::uint8_t, WRITE_PACKET_SIZE> packet{};
    const auto head = block_command(CMD_WRITE, address);
    std::copy(head.begin(), head.end(), packet.begin());
    std::copy(data.begin(), data.end(), packet.begin() + head.size());
    packet.back() = block_checksum(data);
    return packet;
}

bool erase_block(int address) {
    port_write(block_command(CMD_ERASE, address));
    return acknowledged();
}

bool write_block(int address, block_view data) {
    port_write(write_packet(address, data));
    return acknowledged();
}

int read_block(int address, block_buffer destination) {
    // The acknowledgement and the block come as one answer.
    port_write(block_command(CMD_READ, address), 1 + BLOCK_SIZE);
    if (!acknowledged()) {
        return -1;
    }
    return read_until_quiet(destination, BLOCK_QUIET_WAITS);
}

// When the exit packet's acknowledgement is lost, either the bootloader did not take the packet
// and takes it again once any packet begun is completed, or the firmware has started and
// answers the version request.
void exit_flash_mode() {
    say("Exit Flashmode\n");
    constexpr std::array<std::uint8_t, 2> exit_packet = {CMD_EXIT, PACKET_MARK};
    for (int attempt = 1; attempt <= EXIT_ATTEMPTS && !line_hung_up(); ++attempt) {
        port_write(exit_packet);
        if (acknowledged()) {
            return;
        }
        ++report.answers_lost;
        complete_pending_packet();
        if (running_version() >= 0) {
            trace_note("the exit packet's acknowledgement was lost: the firmware answers");
            return;
        }
    }
    fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
}
