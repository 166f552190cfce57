// panelsim: the front panel as seen from its side of the serial line, served on a
// pseudo-terminal so the tool can be run, tested and measured without hardware.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace panelsim {

using bytes = std::vector<std::uint8_t>;
using flash_image = std::array<std::uint8_t, FLASH_SIZE>;

// The flash a fresh panel holds: a recognisable, non-uniform pattern.
flash_image default_flash();

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
    bool start_in_bootloader = false;      // ignores the version request, answers FF FF
    bytes flash_mode_reply = {0x5A, 0xFD}; // sent for 0xA5 0x3C 0x5E 0x27; empty: no answer
    std::uint16_t version = 0x0100;        // answered as 0x5A 0x00 VH VL
    // When set, sent instead of the version frame (empty: silence). Lets tests send
    // noise, other frame types or arbitrary bytes.
    std::optional<bytes> version_reply;
    bytes sent_at_start;                     // already on the line when the host opens it
    bool hang_up_on_version_request = false; // close the line instead of answering it
    bool hold_host_output = false;           // the host's output is stopped, as by XOFF

    // --- bootloader ---
    int sync_reply_bytes = 1;              // bytes answered per 0xAA; 0: never answers
    int stop_after_packets = -1;           // answer nothing after this many packets; -1: never
    int hang_up_after_packets = -1;        // close the line after this many packets; -1: never
    bool hang_up_on_flash_request = false; // close the line instead of answering it
    bytes noise_before_ack;                // sent before every acknowledgement

    // Read-back faults of one block, for its first fault_reads read packets.
    int fault_block = -1; // block address; -1: none
    int fault_reads = 0;
    bool fault_corrupt = false; // read-back has its first byte inverted
    int fault_short_bytes = -1; // only this many bytes of the block are sent; -1: all

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

// A simulated panel served by a thread on the master side of a pseudo-terminal.
// The slave is symlinked at `link_path`, so a tool built to open that (relative or
// absolute) path talks to this panel.
class panel {
  public:
    panel(config cfg, std::string link_path);
    ~panel(); // stop()
    panel(const panel&) = delete;
    panel& operator=(const panel&) = delete;

    void start(); // opens the pseudo-terminal, makes it raw, links it, starts serving
    // Handles whatever the host sent that is still pending, then stops serving and
    // removes the link. Safe to call twice.
    void stop();

    const std::string& link_path() const { return link_path_; }
    std::string slave_path() const;

    void set_flash(const flash_image& content);
    flash_image flash() const;
    bytes received() const;                 // every byte from the host, in order
    bytes sent() const;                     // every byte to the host, in order
    std::vector<packet> packets() const;    // every bootloader packet, in order
    std::vector<packet> violations() const; // erases/writes at 0x1E00 and above
    line_stats stats() const;               // since start or the last take_stats()
    line_stats take_stats();                // returns and resets the counters
    bool in_bootloader() const;
    termios host_settings() const; // the line settings the host left; before stop() only

    // Called from the serving thread, without any lock held, once the acknowledgement
    // of an exit packet has gone out (and for a pending one at stop()). Set before start().
    void on_session_end(std::function<void()> handler);

  private:
    enum class event_kind { byte, hang_up, session_end };
    struct outgoing {
        std::int64_t due_ns;
        event_kind kind;
        std::uint8_t value;
    };

    void serve();
    void drain_at_stop();
    void close_descriptors();
    int read_master(std::int64_t now);
    void feed(std::uint8_t b, std::int64_t arrival);
    void feed_firmware(std::uint8_t b, std::int64_t arrival);
    void feed_bootloader(std::uint8_t b, std::int64_t arrival);
    void flash_request(std::int64_t arrival);
    void complete_packet(std::int64_t arrival);
    void reply(const bytes& data, std::int64_t ready);
    void schedule(event_kind kind, std::int64_t ready);
    int release_due(std::int64_t now, bool ignore_time);
    void hang_up_if_drained(std::int64_t now);

    config cfg_;
    std::string link_path_;
    std::string slave_path_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
    bool started_ = false;
    bool stopped_ = false;
    std::mutex lifecycle_mutex_;
    std::function<void()> session_end_;

    mutable std::mutex mutex_;
    flash_image flash_;
    bytes received_;
    bytes sent_;
    std::vector<packet> packets_;
    std::vector<packet> violations_;
    line_stats stats_;
    bool bootloader_ = false;
    bytes pending_; // request or packet being assembled
    std::int64_t last_arrival_ns_ = 0;
    std::int64_t busy_until_ns_ = 0;
    std::int64_t last_release_ns_ = 0;
    std::int64_t last_write_ns_ = 0;
    std::deque<outgoing> out_;
    bool want_pollout_ = false;
    int answered_packets_ = 0;
    int faulted_reads_ = 0;
    bool silent_ = false;
    bool hang_up_pending_ = false;
    std::int64_t hang_up_deadline_ns_ = 0;
};

} // namespace panelsim
