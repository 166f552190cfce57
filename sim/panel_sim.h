// panelsim: the front panel as seen from its side of the serial line, served on a
// pseudo-terminal so the tool can be run, tested and measured without hardware.
#pragma once

#include "panel_machine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace panelsim {

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
    struct outgoing {
        std::int64_t due_ns;
        action_kind kind;
        std::uint8_t value; // reply: one byte of it
    };

    std::string open_line();
    void link_line(const std::string& name);
    void serve();
    timespec* wake_timeout(timespec& timeout) const;
    int serve_line(short revents);
    void end_sessions(int count);
    void drain_at_stop();
    void close_descriptors();
    void read_master(std::int64_t now);
    void take_in(std::uint8_t b, std::int64_t arrival);
    std::int64_t answer_time(const response& r, std::int64_t arrival);
    void reply(const bytes& data, std::int64_t ready);
    void schedule(action_kind kind, std::int64_t ready);
    int release_due(std::int64_t now, bool ignore_time);
    bool write_chunk(bytes& chunk);
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

    // Guards the panel and the timing model below, shared by the serving thread and callers.
    mutable std::mutex mutex_;
    panel_machine machine_;
    // When bytes reach the panel and when its answers reach the host.
    std::int64_t last_arrival_ns_ = 0;
    std::int64_t busy_until_ns_ = 0;
    std::int64_t last_release_ns_ = 0;
    std::int64_t last_write_ns_ = 0;
    // The bytes last written have been seen waiting in the host's input: the pseudo-terminal
    // hands them over from a kernel work queue, so an empty input right after a write can
    // mean "not there yet" as well as "read".
    bool written_seen_ = true;
    std::deque<outgoing> out_;
    bool want_pollout_ = false;
    bool hang_up_pending_ = false;
    std::int64_t hang_up_deadline_ns_ = 0;
};

} // namespace panelsim
