// panelsim's line timing: each byte a byte time on the line both ways, the panel's erase and
// write times before it answers, received bytes handed to the host a FIFO load at a time,
// and the point where a hang-up may drop the line without losing an answer.
#include "line_timing.h"

#include "common/panel_constants.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace panelsim {

namespace {

std::int64_t ms_to_ns(double ms) {
    return std::llround(ms * 1e6);
}

} // namespace

line_timing::line_timing(config cfg)
    : cfg_(std::move(cfg)), machine_(cfg_), noise_(cfg_.bit_error_rate, cfg_.noise_seed) {}

void line_timing::take_in(std::span<const std::uint8_t> data, std::int64_t now) {
    for (const std::uint8_t b : data) {
        // A byte is on the line for a whole byte time after it was written.
        last_arrival_ns_ = std::max(now, last_arrival_ns_) + BYTE_TIME_NS;
        // The panel acts on what it received.
        const response r = machine_.feed(noise_.to_panel(b), last_arrival_ns_);
        const std::int64_t ready = answer_time(r, last_arrival_ns_);
        for (const action& a : r.actions) {
            if (a.kind == action_kind::reply) {
                reply(a.data, ready);
            } else {
                schedule(a.kind, ready);
            }
        }
    }
}

// A packet's answer waits for its erase or write, which waits for the packets before it.
std::int64_t line_timing::answer_time(const response& r, std::int64_t arrival) {
    if (!r.after_work || !cfg_.line_timing) {
        return arrival;
    }
    busy_until_ns_ = std::max(arrival, busy_until_ns_) + ms_to_ns(r.work_ms);
    return busy_until_ns_;
}

void line_timing::reply(const bytes& data, std::int64_t ready) {
    const std::size_t first = out_.size();
    for (const std::uint8_t sent : data) {
        const std::uint8_t b = noise_.to_host(sent);
        std::int64_t due = 0;
        if (cfg_.line_timing) {
            // Each byte is due when it would have finished arriving at the host.
            due = std::max(ready, last_release_ns_) + BYTE_TIME_NS;
            last_release_ns_ = due;
        }
        out_.push_back({due, action_kind::reply, b});
    }
    if (!cfg_.line_timing) {
        return;
    }
    // A FIFO load is handed over with its last byte; the end of a reply never waits.
    const auto load = static_cast<std::size_t>(std::max(1, cfg_.host_fifo_bytes));
    for (std::size_t start = first; start < out_.size(); start += load) {
        const std::size_t last = std::min(start + load, out_.size()) - 1;
        for (std::size_t i = start; i < last; ++i) {
            out_[i].due_ns = out_[last].due_ns;
        }
    }
}

void line_timing::schedule(action_kind kind, std::int64_t ready) {
    const std::int64_t due = cfg_.line_timing ? std::max(ready, last_release_ns_) : 0;
    out_.push_back({due, kind, 0});
}

bool line_timing::due(const outgoing& o, std::int64_t now) const {
    return stopping_ || o.due_ns <= now;
}

std::optional<std::int64_t> line_timing::next_due() const {
    if (out_.empty()) {
        return std::nullopt;
    }
    return out_.front().due_ns;
}

bytes line_timing::due_bytes(std::int64_t now) const {
    bytes chunk;
    for (const outgoing& o : out_) {
        if (o.kind != action_kind::reply || !due(o, now)) {
            break;
        }
        chunk.push_back(o.value);
    }
    return chunk;
}

void line_timing::wrote(std::size_t count, std::int64_t now) {
    const auto end = out_.begin() + static_cast<std::ptrdiff_t>(count);
    bytes written;
    std::transform(out_.begin(), end, std::back_inserter(written),
                   [](const outgoing& o) { return o.value; });
    machine_.record_sent(written);
    if (count > 0) {
        last_write_ns_ = now;
        written_seen_ = false;
    }
    out_.erase(out_.begin(), end);
}

std::optional<action_kind> line_timing::take_due_event(std::int64_t now) {
    if (out_.empty() || out_.front().kind == action_kind::reply || !due(out_.front(), now)) {
        return std::nullopt;
    }
    const action_kind kind = out_.front().kind;
    out_.pop_front();
    if (kind == action_kind::hang_up && !stopping_ && !hang_up_pending_) {
        hang_up_pending_ = true;
        hang_up_deadline_ns_ = now + HANG_UP_GRACE_NS;
    }
    return kind;
}

// The line is dropped once the host has read what was answered before the hang-up, since a
// hang-up discards whatever the host has not read yet; at the latest when the grace is over.
bool line_timing::hang_up_due(std::int64_t now, bool host_input_unread) {
    if (!hang_up_pending_) {
        return false;
    }
    written_seen_ = written_seen_ || host_input_unread;
    const bool drained = !host_input_unread && written_seen_ && out_.empty() &&
                         now >= last_write_ns_ + HANG_UP_SETTLE_NS;
    if (!drained && now < hang_up_deadline_ns_) {
        return false;
    }
    out_.clear();
    return true;
}

} // namespace panelsim
