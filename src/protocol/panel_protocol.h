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
// Flash-mode requests a connection makes before it gives up: a flipped bit can spoil one.
constexpr int FLASH_MODE_REQUESTS = 3;
// Reads for the reply to a request made again (0.5 s): the panel is known to answer in ms,
// only the first request waits as long as the connection sequence always has.
constexpr int REPEATED_REPLY_READS = 50;
constexpr std::uint8_t FILLER = 0xFF; // starts no packet; written, it clears no bit of flash
// Sync bytes sent when finding the bootloader again: filler has ended any packet begun, so a
// bootloader that answers them answers the first.
constexpr int RESYNC_ATTEMPTS = 10;
constexpr int RECONNECTS = 3;    // times a run may go through the connection sequence again
constexpr int EXIT_ATTEMPTS = 3; // exit packets the bootloader may fail to acknowledge
// answers lost in a row, without an acknowledgement between them, before the panel counts as
// gone: with the waits of each, a panel that stops answering ends the run within 30 s
constexpr int LOST_ANSWERS = 10;
// Waits in a row that bring none of the 64 bytes behind a read's acknowledgement before the
// rest counts as lost (200 ms): they are on the line right behind it.
constexpr int BLOCK_QUIET_WAITS = 20;
constexpr int WRITE_PACKET_SIZE = 4 + BLOCK_SIZE + 1; // command, mark, address, data, sum
// Filler bytes that complete any packet a corrupted byte may have begun: a write's command
// byte leaves the bootloader waiting for this many more.
constexpr int FILLER_BYTES = WRITE_PACKET_SIZE - 1;

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
constexpr int VERSION_ASKS = 4;           // version requests until two replies in a row agree
// While the firmware starts, a request it does not hear yet is made again after this many
// waits of 1 ms for a reply (10 ms), up to FIRMWARE_START_POLLS waits in all (1.5 s: a
// firmware may take a second to start answering).
constexpr int FIRMWARE_ASK_POLLS = 10;
constexpr int FIRMWARE_START_POLLS = 1500;

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
// Each block command sends its packet once and waits for its answer within its bound. When
// the answer does not come, the caller calls recover_panel before anything else is sent.
// False when the acknowledgement did not come.
bool erase_block(int address);
bool write_block(int address, block_view data);
// Returns how many of the 64 bytes arrived, -1 when the acknowledgement did not; positions
// not filled keep what they held.
int read_block(int address, block_buffer destination);
// Leaves flash mode; an acknowledgement lost on the way is made up for as long as the
// bootloader or the firmware still answers.
void exit_flash_mode();
// After an answer that did not come: lets the line go quiet and completes any packet a
// corrupted byte may have begun, so that the caller's packet, sent again, is read from its
// start; when answers keep being lost, also sends sync bytes, then goes through the
// connection sequence again. Ends the process when the panel counts as gone. `address`, the
// block whose answer was lost, is named in the message.
void recover_panel(int address);

// Forgets the answers lost in a row and the connections made again, as at the start of the
// process.
void reset_recovery();

// The sum of the data bytes modulo 256, carried at the end of a write packet.
std::uint8_t block_checksum(block_view data);
// Command, mark, address high byte, address low byte.
std::array<std::uint8_t, 4> block_command(std::uint8_t command, int address);
std::array<std::uint8_t, WRITE_PACKET_SIZE> write_packet(int address, block_view data);

// --- block_reads.cpp: a block's content as reads settle it ---
constexpr int BLOCK_READS = 21; // reads of one block before its content counts as unknown

enum class block_state {
    matches,    // a read brought exactly the expected bytes
    agreed,     // two reads in a row brought the same bytes, not the expected ones
    unsettled,  // reads came, but no two in a row agreed
    unanswered, // no read brought the whole block
};

// Reads the block at `address` into `destination` until a read brings `expected` (when not
// empty) or two reads in a row agree, at most BLOCK_READS reads; a read whose answer is lost
// is repeated after recover_panel. A noisy line makes a read differ from the flash; to make
// it equal to the bytes expected, or to another read, it would have to flip exactly the bits
// between them.
block_state settle_block(int address, block_buffer destination,
                         std::span<const std::uint8_t> expected);
// Reads the block until one read brings it whole, at most BLOCK_READS reads, recovering the
// line after each that does not; false when none did.
bool read_whole_block(int address, block_buffer destination);
// Whether the block holds `expected`: true once a read brings it, false once two reads in a
// row agree on other bytes; otherwise the process ends as for read_agreed_block.
bool block_holds(int address, block_buffer destination, std::span<const std::uint8_t> expected);
// The block as two reads in a row agree on it, or the process ends: EXIT_FAILED when no
// two reads agree, EXIT_NO_PANEL when no read brings the whole block.
void read_agreed_block(int address, block_buffer destination);

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
// The version the running firmware answers, two replies alike, asked again and again while
// it starts: -1 when none came within FIRMWARE_START_POLLS empty polls.
int running_version();
// Ends the process with EXIT_VERSION_CURRENT when the panel needs no update.
void version_gate(std::int32_t minimum_version);
