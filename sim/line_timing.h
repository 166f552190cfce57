// panelsim's panel on its 115200-baud line, without the line itself: when the host's bytes
// reach the panel, when its answers reach the host, and when the line may be dropped.
// No descriptor, thread or clock: every call is given the time, so tests state exact times.
#pragma once

#include "line_noise.h"
#include "panel_machine.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace panelsim {

// How long a hang-up waits for the host to read what was answered before it.
constexpr std::int64_t HANG_UP_GRACE_NS = 500'000'000;
// How long after the last write the host's input must have stayed empty before a hang-up.
constexpr std::int64_t HANG_UP_SETTLE_NS = 2'000'000;

// The panel and the timing of its line. Times are in ns on any monotonic scale.
class line_timing {
  public:
    explicit line_timing(config cfg);

    panel_machine& machine() { return machine_; }
    const panel_machine& machine() const { return machine_; }

    // The host's bytes, taken off the line at `now`: the panel gets each once it has crossed.
    void take_in(std::span<const std::uint8_t> data, std::int64_t now);

    // When the head of the output falls due; nothing when nothing is owed.
    std::optional<std::int64_t> next_due() const;
    // The answer bytes at the head of the output that are due at `now`, up to the next
    // hang-up or session end.
    bytes due_bytes(std::int64_t now) const;
    // The line took the first `count` of due_bytes() at `now`.
    void wrote(std::size_t count, std::int64_t now);
    // Takes the hang-up or session end at the head of the output when it is due at `now`.
    // A hang-up starts the wait for the host to read what was answered before it.
    std::optional<action_kind> take_due_event(std::int64_t now);

    bool hang_up_pending() const { return hang_up_pending_; }
    // Whether a pending hang-up drops the line at `now`, given whether the host's input
    // holds unread bytes; when it does, nothing more is owed.
    bool hang_up_due(std::int64_t now, bool host_input_unread);

    // The line is closing: everything owed is due at once and no hang-up is waited for.
    void stop() { stopping_ = true; }
    void drop_output() { out_.clear(); }

    long flipped_bits() const { return noise_.flipped_bits(); }

  private:
    struct outgoing {
        std::int64_t due_ns;
        action_kind kind;
        std::uint8_t value; // reply: one byte of it
    };

    std::int64_t answer_time(const response& r, std::int64_t arrival);
    void reply(const bytes& data, std::int64_t ready);
    void schedule(action_kind kind, std::int64_t ready);
    bool due(const outgoing& o, std::int64_t now) const;

    config cfg_;
    panel_machine machine_;
    line_noise noise_;
    std::int64_t last_arrival_ns_ = 0; // when the host's last byte has crossed
    std::int64_t busy_until_ns_ = 0;   // when the panel's last erase or write is done
    std::int64_t last_release_ns_ = 0; // when the panel's last answer byte has crossed
    std::int64_t last_write_ns_ = 0;   // when the line last took answer bytes
    // The bytes last written have been seen waiting in the host's input: the pseudo-terminal
    // hands them over from a kernel work queue, so an empty input right after a write can
    // mean "not there yet" as well as "read".
    bool written_seen_ = true;
    std::deque<outgoing> out_;
    bool hang_up_pending_ = false;
    std::int64_t hang_up_deadline_ns_ = 0;
    bool stopping_ = false;
};

} // namespace panelsim
