// The bootloader protocol: zero bursts, flash mode, synchronisation and the block packets,
// and finding the bootloader again when an answer is lost.
#include "protocol/panel_protocol.h"

#include "common/fail.h"
#include "serial/serial_port.h"

#include <cstdio>

static constexpr std::array<std::uint8_t, 1> ACK_SEQUENCE = {ACK};

int reconnects_made = 0;
static int lost_in_a_row = 0; // answers lost since the panel last acknowledged a packet

void reset_recovery() {
    reconnects_made = 0;
    lost_in_a_row = 0;
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

static std::array<std::uint8_t, 2> request_flash_mode() {
    std::printf("Enter Flashmode...\n");
    port_write(FLASH_MODE_REQUEST);
    pause_us(FLASH_REPLY_PAUSE_US);
    std::array<std::uint8_t, 2> reply{};
    read_bytes(reply);
    pause_us(FLASH_REPLY_PAUSE_US);
    return reply;
}

// Says which of the two accepting replies came; false for any other.
static bool accepted(const std::array<std::uint8_t, 2>& reply) {
    if (reply == FLASH_MODE_FROM_FIRMWARE) {
        std::printf("Accepted (1)\n");
    } else if (reply == FLASH_MODE_FROM_BOOTLOADER) {
        std::printf("Accepted (2)\n");
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

void enter_flash_mode() {
    auto reply = request_flash_mode();
    if (accepted(reply)) {
        return;
    }
    // A reply with more bytes behind it was the end of a killed run's answer that came later
    // than the drain waited for, on a busy host: the request is made again, once; a panel
    // that took the first request answers this one from its bootloader (ff ff).
    if (discard_stale_input() > 0) {
        trace_note("bytes after the flash-mode reply: asking again");
        reply = request_flash_mode();
    }
    if (!accepted(reply)) {
        fail(EXIT_NO_PANEL, "Unknown response %x %x, is FP really connected?\n", reply[0],
             reply[1]);
    }
}

// A corrupted byte can leave the bootloader reading the rest of a packet, and whatever
// follows, as a packet of its own: a command byte among a write's data starts one, and it
// swallows up to 68 more bytes before it ends and is acknowledged. Sync bytes are harmless
// data to such a packet, so they are sent first: once one is answered on its own, the
// bootloader reads packets from their start again. A bootloader that answers none has left
// flash mode (a packet read as the exit command) or the panel is gone, and only the
// connection sequence can tell.
void recover_panel(int address) {
    // A line that has hung up brings nothing more; a panel that acknowledges nothing any more
    // is given up within its bound.
    if (line_hung_up() || ++lost_in_a_row == LOST_ANSWERS) {
        fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
    }
    std::printf("\nAnswer lost at %x, trying again\n", address);
    discard_stale_input();
    if (find_sync(RESYNC_ATTEMPTS)) {
        return;
    }
    trace_note("no answer to %d sync bytes: connecting again", RESYNC_ATTEMPTS);
    if (reconnects_made == RECONNECTS) {
        fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
    }
    ++reconnects_made;
    for (int burst = 0; burst < ZERO_BURSTS; ++burst) {
        send_zero_burst();
    }
    discard_stale_input();
    if (!accepted(request_flash_mode())) {
        fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
    }
    synchronise();
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

// When the exit packet's acknowledgement is lost, a bootloader that still answers a sync byte
// did not take the packet, and a firmware that answers the version request has taken over.
void exit_flash_mode() {
    std::printf("Exit Flashmode\n");
    constexpr std::array<std::uint8_t, 2> exit_packet = {CMD_EXIT, PACKET_MARK};
    for (int attempt = 1; attempt <= EXIT_ATTEMPTS && !line_hung_up(); ++attempt) {
        port_write(exit_packet);
        if (acknowledged()) {
            return;
        }
        discard_stale_input();
        if (find_sync(RESYNC_ATTEMPTS)) {
            continue;
        }
        reset_frame_receiver();
        send_version_request();
        std::array<std::uint8_t, FRAME_MAX_SIZE> frame{};
        if (receive_frame(frame, VERSION_EMPTY_POLLS) > 0) {
            trace_note("the exit packet's acknowledgement was lost: the firmware answers");
            return;
        }
        break;
    }
    fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
}
