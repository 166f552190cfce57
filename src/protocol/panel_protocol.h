// What is said to the panel: the connection sequence into its bootloader, the block
// commands, and the version query in the running firmware's framing.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <cstdint>
#include <span>

using block_view = std::span<const std::uint8_t, BLOCK_SIZE>;
using block_buffer = std::span<std::uint8_t, BLOCK_SIZE>;

constexpr std::uint8_t CMD_EXIT = 0x01;    // leave flash mode
constexpr std::uint8_t CMD_ERASE = 0x02;   // erase one block
constexpr std::uint8_t CMD_WRITE = 0x03;   // write one block, with checksum
constexpr std::uint8_t CMD_READ = 0x04;    // read one block back
constexpr std::uint8_t PACKET_MARK = 0x42; // second byte of every bootloader packet
constexpr std::uint8_t ACK = 0x00;         // the bootloader's acknowledgement
constexpr std::uint8_t SYNC_BYTE = 0xAA;   // answered with exactly one byte when in sync

constexpr int ZERO_BURST_SIZE = 16;          // bytes of 0x00 per burst
constexpr int ZERO_BURSTS = 3;               // bursts sent before the flash-mode request
constexpr int FLASH_REPLY_PAUSE_US = 200000; // µs before and after the flash-mode reply
constexpr int SYNC_ATTEMPTS = 1000;
constexpr int SYNC_WINDOW_US = 10000; // µs listened for the answer to each sync byte
constexpr int WRITE_PACKET_SIZE = 4 + BLOCK_SIZE + 1; // command, mark, address, data, sum

template <std::size_t N>
using line_bytes = std::array<std::uint8_t, N>; // a fixed sequence of bytes on the line

// Both requests go to the running firmware and start with 0xA5.
constexpr line_bytes<4> FLASH_MODE_REQUEST = {0xA5, 0x3C, 0x5E, 0x27}; // into flash mode
constexpr line_bytes<3> VERSION_REQUEST = {0xA5, 0x00, 0x00};          // for a version reply
// The firmware agrees to switch ("Accepted (1)"); a panel already in its bootloader answers
// for it ("Accepted (2)").
constexpr line_bytes<2> FLASH_MODE_FROM_FIRMWARE = {0x5A, 0xFD};
constexpr line_bytes<2> FLASH_MODE_FROM_BOOTLOADER = {0xFF, 0xFF};

constexpr std::uint8_t FRAME_START = 0x5A;   // first byte of every firmware frame
constexpr std::uint8_t FRAME_VERSION = 0x00; // frame type of the version reply: VH, VL

struct frame_kind {
    std::uint8_t type;
    int payload_bytes;
};
// The frames the firmware may send, the version reply among them; the others come unasked
// and only their lengths matter. A type not listed has no payload.
constexpr std::array<frame_kind, 4> FRAME_KINDS = {{
    {FRAME_VERSION, 2},
    {0x0B, 7},
    {0xF1, 4},
    {0xF2, 4},
}};
constexpr int FRAME_MAX_SIZE = 9;         // bytes of the longest frame
constexpr int VERSION_EMPTY_POLLS = 1000; // empty polls the version reply may take
constexpr int FRAME_WAIT_US = 1000;       // µs waited after each empty poll

// What query_version found.
enum class version_answer {
    current, // a version not older than the minimum
    older,   // a version older than the minimum
    unknown, // no version reply: the panel is in its bootloader, or not there
};

// --- bootloader ---
void connect_panel(std::int32_t minimum_version);
void send_zero_burst();
void enter_flash_mode();
void erase_block(int address);
void write_block(int address, block_view data);
// Returns how many of the 64 bytes arrived; positions not filled keep what they held.
int read_block(int address, block_buffer destination);
void exit_flash_mode();

// The sum of the data bytes modulo 256, carried at the end of a write packet.
std::uint8_t block_checksum(block_view data);
// Command, mark, address high byte, address low byte.
std::array<std::uint8_t, 4> block_command(std::uint8_t command, int address);
std::array<std::uint8_t, WRITE_PACKET_SIZE> write_packet(int address, block_view data);

// --- version query ---
extern int frame_pos;
extern int frame_payload_len;

// Forgets any frame begun, as at the start of the process.
void reset_frame_receiver();

int frame_payload_length(std::uint8_t type);
// The length of the complete frame now in `buffer` (at least FRAME_MAX_SIZE bytes), or 0
// after max_empty_polls + 1 empty polls; a frame cut off by silence continues next call.
int receive_frame(std::span<std::uint8_t> buffer, int max_empty_polls);
void send_version_request();
version_answer query_version(std::int32_t minimum_version);
// Ends the process with EXIT_VERSION_CURRENT when the panel needs no update.
void version_gate(std::int32_t minimum_version);
