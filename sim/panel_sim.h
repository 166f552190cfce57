// panelsim: the front panel as seen from its side of the serial line, served on a
// pseudo-terminal so the tool can be run, tested and measured without hardware.
#pragma once

#include "line_timing.h"
#include "panel_machine.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace panelsim {

// What the panel holds and has recorded, copied at one instant.
struct panel_state {
    flash_image flash{};
    bytes received;                 // every byte from the host, in order
    bytes sent;                     // every byte to the host, in order
    std::vector<packet> packets;    // every bootloader packet, in order
    std::vector<packet> violations; // erases/writes at 0x1E00 and above
    line_stats stats;               // since start or the last take_stats()
    bool in_bootloader = false;
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
    panel_state snapshot() const;
    line_stats take_stats(); // returns and resets the counters
    // One part of a snapshot each, for callers that want only that part.
    flash_image flash() const { return snapshot().flash; }
    bytes received() const { return snapshot().received; }
    bytes sent() const { return snapshot().sent; }
    std::vector<packet> packets() const { return snapshot().packets; }
    std::vector<packet> violations() const { return snapshot().violations; }
    line_stats stats() const { return snapshot().stats; }
    bool in_bootloader() const { return snapshot().in_bootloader; }
    termios host_settings() const; // the line settings the host left; before stop() only

    // Called from the serving thread, without any lock held, once the acknowledgement
    // of an exit packet has gone out (and for a pending one at stop()). Set before start().
    void on_session_end(std::function<void()> handler);

  private:
    std::string open_line();
    void link_line(const std::string& name);
    void serve();
    timespec* wake_timeout(timespec& timeout) const;
    int serve_line(short revents);
    void end_sessions(int count);
    void drain_at_stop();
    void close_descriptors();
    void read_master(std::int64_t now);
    int release_due(std::int64_t now);
    bool write_chunk(const bytes& chunk);
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

    // Guards the panel on its line and the line's descriptors, shared by the serving thread
    // and callers.
    mutable std::mutex mutex_;
    line_timing timing_;
    bool want_pollout_ = false; // the line took only part of the answer bytes due
};

} // namespace panelsim
