// The bootloader protocol: zero bursts, flash mode, synchronisation and the block packets.
#include "protocol/panel_protocol.h"

#include "common/fail.h"
#include "serial/serial_port.h"

#include <cstdio>

static constexpr std::array<std::uint8_t, 1> ACK_SEQUENCE = {ACK};

void send_zero_burst() {
    constexpr std::array<std::uint8_t, ZERO_BURST_SIZE> zeros{};
    port_write(zeros);
}

// Each packet waits for its acknowledgement before the next may go out.
static void await_ack() {
    if (!wait_for_bytes(ACK_SEQUENCE)) {
        fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
    }
}

static void synchronise() {
    std::printf("Sync\n");
    for (int attempt = 0; attempt < SYNC_ATTEMPTS; ++attempt) {
        constexpr std::array<std::uint8_t, 1> sync = {SYNC_BYTE};
        port_write(sync);
        pause_us(SYNC_WINDOW_US);
        std::array<std::uint8_t, 64> answer{};
        // In sync, the bootloader answers with exactly one byte; more means it is still
        // reading an earlier sync byte as part of a packet.
        if (port_read(answer) == 1) {
            std::printf("Synced\n");
            return;
        }
    }
    trace_note("sync gave up after %d sync bytes", SYNC_ATTEMPTS);
    fail(EXIT_NO_SYNC, "Can't sync with Frontpanel, powercycle and try without -c option\n");
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
    std::printf("Enter Flashmode...\n");
    port_write(FLASH_MODE_REQUEST);
    pause_us(FLASH_REPLY_PAUSE_US);
    std::array<std::uint8_t, 2> reply{};
    read_bytes(reply);
    pause_us(FLASH_REPLY_PAUSE_US);
    if (reply == FLASH_MODE_FROM_FIRMWARE) {
        std::printf("Accepted (1)\n");
    } else if (reply == FLASH_MODE_FROM_BOOTLOADER) {
        std::printf("Accepted (2)\n");
    } else {
        fail(EXIT_NO_PANEL, "Unknown response %x %x, is FP really connected?\n", reply[0],
             reply[1]);
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

void erase_block(int address) {
    port_write(block_command(CMD_ERASE, address));
    await_ack();
}

void write_block(int address, block_view data) {
    port_write(write_packet(address, data));
    await_ack();
}

int read_block(int address, block_buffer destination) {
    // The acknowledgement and the block come as one answer.
    port_write(block_command(CMD_READ, address), 1 + BLOCK_SIZE);
    await_ack();
    return read_bytes(destination);
}

void exit_flash_mode() {
    std::printf("Exit Flashmode\n");
    constexpr std::array<std::uint8_t, 2> exit_packet = {CMD_EXIT, PACKET_MARK};
    port_write(exit_packet);
    await_ack();
}
