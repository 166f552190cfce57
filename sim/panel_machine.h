// panelsim's panel without its line: the firmware and bootloader taking the host's bytes one
// at a time, answering them, keeping the flash and recording what happened. No descriptor,
// thread or clock, so tests and fuzzers can drive it directly.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace panelsim {

using bytes = std::vector<std::uint8_t>;
using flash_image = std::array<std::uint8_t, FLASH_SIZE>;

// The flash a fresh panel holds: a recognisable, non-uniform pattern.
flash_image default_flash();

// A chosen byte corrupted as the line would corrupt it, for exact tests of what the host makes
// of it: where it lies is counted in the protocol's own units, so no timing moves it.
enum class fault_place {
    packet,  // byte `byte` of bootloader packet `index`, as the panel assembles it
    answer,  // byte `byte` of the answer to bootloader packet `index` (0: the acknowledgement)
    version, // byte `byte` of version reply `index`
};
struct byte_fault {
    fault_place place = fault_place::packet;
    int index = 0;            // which packet, answer or reply, from 0
    int byte = 0;             // which byte of it, from 0
    std::uint8_t mask = 0xFF; // the bits flipped
};

// What the bootloader does with a write packet whose checksum does not match; the protocol
// does not say, so each choice is offered.
enum class bad_write {
    ignore,     // acknowledged, not programmed
    program,    // programmed as received, and acknowledged
    unanswered, // neither programmed nor acknowledged
};

// Where g++ 12 inlines building a config at -O2 and above, it may warn that the constant
// list behind flash_mode_reply's default "may be used uninitialized". That is a false
// positive of this compiler (clang and the sanitizers see nothing), so for g++ that one
// warning is off for this struct.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// How the panel behaves; the defaults are a healthy panel running its firmware.
struct config {
    // --- running firmware ---
    bool start_in_bootloader = false; // ignores the version request, answers FF FF
    // Sent for 0xA5 0x3C 0x5E 0x27. Empty: the firmware switches without a word; any reply
    // but 5A FD and FF FF: it refuses and keeps running.
    bytes flash_mode_reply = {0x5A, 0xFD};
    std::uint16_t version = 0x0100; // answered as 0x5A 0x00 VH VL
    // When set, sent instead of the version frame (empty: silence). Lets tests send
    // noise, other frame types or arbitrary bytes.
    std::optional<bytes> version_reply;
    bytes sent_at_start;                     // already on the line when the host opens it
    bool hang_up_on_version_request = false; // close the line instead of answering it
    bool hold_host_output = false;           // the host's output is stopped, as by XOFF

    // --- bootloader ---
    int sync_reply_bytes = 1;    // bytes answered per 0xAA; 0: never answers
    int stop_after_packets = -1; // answer nothing after this many packets; -1: never
    // that silence ends, once, at this flash-mode request after it began; 0: never
    int resume_at_flash_request = 0;
    int hang_up_after_packets = -1;        // close the line after this many packets; -1: never
    bool hang_up_on_flash_request = false; // close the line instead of answering it
    bytes noise_before_ack;                // sent before every acknowledgement

    // Read-back faults of one block, for its first fault_reads read packets.
    int fault_block = -1; // block address; -1: none
    int fault_reads = 0;
    bool fault_corrupt = false; // read-back has its first byte inverted
    int fault_short_bytes = -1; // only this many bytes of the block are sent; -1: all

    // --- line noise ---
    double bit_error_rate = 0;           // each data bit flips with this probability, both ways
    std::uint64_t noise_seed = 1;        // the draws of the flips
    std::vector<byte_fault> byte_faults; // chosen bytes corrupted

    // --- what the bootloader does where the protocol leaves it open ---
    // A byte that breaks a packet (a second byte other than 0x42, or a flash-mode request
    // gone wrong) is read again as the start of whatever packet it makes; false: dropped.
    bool reread_breaking_bytes = true;
    bool answer_sync_when_synced = true; // a sync byte after one has been answered
    bool answer_flash_request = true;    // the flash-mode request in flash mode: FF FF
    // A packet whose next byte takes longer than this is dropped; 0: waited for however long
    // its bytes take.
    double packet_timeout_ms = 0;
    bad_write bad_writes = bad_write::ignore;

    // --- starting the firmware ---
    // After an exit packet the firmware answers from this long after the packet arrived, when
    // the flash holds a firmware (its first two bytes are not erased); otherwise the panel
    // stays in its bootloader. Bytes that come while it starts are lost.
    double firmware_start_ms = 10.0;

    // --- timing model ---
    bool line_timing = false; // 115200 baud, 8N1 pacing both ways
    double erase_ms = 4.0;    // before an erase is acknowledged (line_timing only)
    double write_ms = 4.0;    // before a block write is acknowledged (line_timing only)
    // Received bytes reach the host a receive FIFO load at a time, each load when its last
    // byte has arrived, as a UART hands them over; 1: every byte on its own.
    int host_fifo_bytes = 8;
};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// One bootloader packet as the panel received it.
struct packet {
    std::uint8_t command = 0; // 0x01 exit, 0x02 erase, 0x03 write, 0x04 read
    int address = -1;         // -1 for exit
    bool checksum_ok = true;  // write packets only
};

// What the line carried during one served exchange, for the line-limit figure.
struct line_stats {
    long host_bytes = 0;  // host to panel
    long panel_bytes = 0; // panel to host
    int erases = 0;
    int writes = 0;         // write packets programmed or not
    int sync_attempts = 0;  // 0xAA bytes received
    int flash_requests = 0; // flash-mode requests received, in either mode
    // Minimum time of the exchange with everything strictly sequential: every byte both
    // ways at 86.8 µs, plus erase and write times, plus the tool's fixed pauses
    // (2 x 200 ms around the flash-mode reply, 10 ms per sync attempt).
    // The 400 ms are added when at least one flash-mode request was received.
    double line_limit_ms(const config& cfg) const;
};

// One thing the panel does in answer to a byte: send bytes, drop the line, or reach the
// end of a programming session (the exit packet has been acknowledged).
enum class action_kind { reply, hang_up, session_end };

struct action {
    action_kind kind;
    bytes data; // reply only
};

// Everything the panel does in answer to one byte, in order.
struct response {
    std::vector<action> actions;
    // A bootloader packet's answer: due once the panel has done the packet's work, after the
    // work of the packets before it. Otherwise due when the byte has arrived.
    bool after_work = false;
    double work_ms = 0; // erase or block write time spent before answering
};

// The panel's firmware and bootloader, fed the host's bytes one at a time.
class panel_machine {
  public:
    explicit panel_machine(config cfg);

    // One byte from the host, arrived at `at_ns` (any monotonic scale; it matters only for the
    // packet timeout and the firmware's start).
    response feed(std::uint8_t b, std::int64_t at_ns = 0);
    void record_sent(std::span<const std::uint8_t> data); // bytes that reached the line

    const flash_image& flash() const { return flash_; }
    void set_flash(const flash_image& content) { flash_ = content; }
    const bytes& received() const { return received_; }
    const bytes& sent() const { return sent_; }
    const std::vector<packet>& packets() const { return packets_; }
    const std::vector<packet>& violations() const { return violations_; }
    const line_stats& stats() const { return stats_; }
    line_stats take_stats(); // returns and resets the counters
    bool in_bootloader() const { return bootloader_; }
    // The version the firmware answers: the one its flash carries, else the configured one.
    std::uint16_t firmware_version() const;

  private:
    void feed_firmware(std::uint8_t b, response& r);
    void feed_bootloader(std::uint8_t b, response& r);
    void feed_sync(response& r);
    void break_packet(std::uint8_t b, response& r);
    void leave_bootloader(std::int64_t at_ns);
    void answer_version_request(response& r);
    void flash_request(response& r);
    void complete_packet(response& r);
    bytes apply_packet(packet& p, response& r);
    bool program_block(std::span<std::uint8_t> cells) const;
    bytes read_back(const packet& p, std::span<const std::uint8_t> cells);
    void answer_packet(const packet& p, const bytes& data, response& r);
    bool answers_stopped() const;
    bool hang_up_reached() const;
    void reply(const bytes& data, response& r) const;
    void hang_up(response& r);
    std::uint8_t corrupt_received(std::uint8_t b);
    void corrupt_sent(fault_place place, int index, bytes& data, std::size_t first);

    config cfg_;
    flash_image flash_;
    bytes received_;
    bytes sent_;
    std::vector<packet> packets_;
    std::vector<packet> violations_;
    line_stats stats_;
    bool bootloader_ = false;
    bool synced_ = false;               // the bootloader has answered a sync byte since it started
    bool reprogrammed_ = false;         // the flash has been erased or written
    bytes pending_;                     // request or packet being assembled
    std::int64_t last_byte_ns_ = 0;     // when the last byte of pending_ arrived
    std::int64_t firmware_from_ns_ = 0; // the firmware hears nothing before this
    int answered_packets_ = 0;
    int faulted_reads_ = 0;
    std::vector<bool> faults_done_; // byte_faults already applied, each once
    int version_replies_ = 0;
    bool silent_ = false;     // answers nothing more
    bool resumed_ = false;    // the stop_after_packets silence is over
    int silent_requests_ = 0; // flash-mode requests met by that silence
};

} // namespace panelsim
