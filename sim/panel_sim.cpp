// panelsim: the panel served on a pseudo-terminal by a thread, with the 115200-baud timing
// model that decides when each byte reaches the panel and each answer reaches the host.
#include "panel_sim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace panelsim {

namespace {

// 10 bits at 115200 baud, rounded up so that no byte is ever early.
constexpr std::int64_t BYTE_NS = 86806;
// How long a hang-up waits for the host to read what was answered before it.
constexpr std::int64_t HANG_UP_GRACE_NS = 500'000'000;
constexpr std::int64_t HANG_UP_SETTLE_NS = 2'000'000;
// While a hang-up waits for the host to read, the line is looked at this often.
constexpr std::int64_t HANG_UP_POLL_NS = 1'000'000;
// At stop(), host bytes still in flight are awaited until the line is quiet this long.
constexpr int STOP_QUIET_MS = 10;

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t ms_to_ns(double ms) {
    return std::llround(ms * 1e6);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

panel::panel(config cfg, std::string link_path)
    : cfg_(std::move(cfg)), link_path_(std::move(link_path)), machine_(cfg_) {}

panel::~panel() {
    stop();
}

std::string panel::slave_path() const {
    std::lock_guard lock(mutex_);
    return slave_path_;
}

void panel::on_session_end(std::function<void()> handler) {
    session_end_ = std::move(handler);
}

void panel::start() {
    std::lock_guard life(lifecycle_mutex_);
    if (started_) {
        throw std::logic_error("panelsim: panel already started");
    }
    try {
        const std::string name = open_line();
        const auto early = static_cast<ssize_t>(cfg_.sent_at_start.size());
        if (write(master_fd_, cfg_.sent_at_start.data(), cfg_.sent_at_start.size()) != early) {
            fail_errno("write");
        }
        if (cfg_.hold_host_output && tcflow(slave_fd_, TCOOFF) != 0) {
            fail_errno("tcflow");
        }
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) {
            fail_errno("eventfd");
        }
        link_line(name);
        {
            std::lock_guard lock(mutex_);
            slave_path_ = name;
        }
        thread_ = std::thread([this] { serve(); });
        started_ = true;
    } catch (...) {
        close_descriptors();
        throw;
    }
}

// Opens the pseudo-terminal, its master for serving and its slave raw at 115200 baud;
// returns the slave's name.
std::string panel::open_line() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        fail_errno("posix_openpt");
    }
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
        fail_errno("grantpt/unlockpt");
    }
    char name[128];
    if (ptsname_r(master_fd_, name, sizeof name) != 0) {
        fail_errno("ptsname_r");
    }
    const int flags = fcntl(master_fd_, F_GETFL);
    if (flags < 0 || fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail_errno("fcntl O_NONBLOCK");
    }
    // Held open for the panel's whole life: the master never sees the tool's hang-up.
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0) {
        fail_errno(std::string("open ") + name);
    }
    termios tio{};
    if (tcgetattr(slave_fd_, &tio) != 0) {
        fail_errno("tcgetattr");
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(slave_fd_, TCSANOW, &tio) != 0) {
        fail_errno("tcsetattr");
    }
    return name;
}

// Links the slave at link_path, replacing a link left there but never anything else.
void panel::link_line(const std::string& name) {
    struct stat st {};
    if (lstat(link_path_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            throw std::runtime_error("panelsim: " + link_path_ +
                                     " exists and is not a symbolic link");
        }
        if (unlink(link_path_.c_str()) != 0) {
            fail_errno("unlink " + link_path_);
        }
    }
    if (symlink(name.c_str(), link_path_.c_str()) != 0) {
        fail_errno("symlink " + link_path_);
    }
}

void panel::stop() {
    std::lock_guard life(lifecycle_mutex_);
    if (!started_ || stopped_) {
        return;
    }
    stopped_ = true;
    const std::uint64_t one = 1;
    while (write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    close_descriptors();
    struct stat st {};
    if (lstat(link_path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        unlink(link_path_.c_str());
    }
}

void panel::close_descriptors() {
    std::lock_guard lock(mutex_);
    close_fd(master_fd_);
    close_fd(slave_fd_);
    close_fd(wake_fd_);
}

void panel::set_flash(const flash_image& content) {
    std::lock_guard lock(mutex_);
    machine_.set_flash(content);
}

flash_image panel::flash() const {
    std::lock_guard lock(mutex_);
    return machine_.flash();
}

bytes panel::received() const {
    std::lock_guard lock(mutex_);
    return machine_.received();
}

bytes panel::sent() const {
    std::lock_guard lock(mutex_);
    return machine_.sent();
}

std::vector<packet> panel::packets() const {
    std::lock_guard lock(mutex_);
    return machine_.packets();
}

std::vector<packet> panel::violations() const {
    std::lock_guard lock(mutex_);
    return machine_.violations();
}

line_stats panel::stats() const {
    std::lock_guard lock(mutex_);
    return machine_.stats();
}

line_stats panel::take_stats() {
    std::lock_guard lock(mutex_);
    return machine_.take_stats();
}

bool panel::in_bootloader() const {
    std::lock_guard lock(mutex_);
    return machine_.in_bootloader();
}

termios panel::host_settings() const {
    std::lock_guard lock(mutex_);
    termios settings{};
    if (slave_fd_ < 0 || tcgetattr(slave_fd_, &settings) != 0) {
        fail_errno("tcgetattr");
    }
    return settings;
}

// Waits for the host's bytes, for answers falling due and for stop(), until stop().
void panel::serve() {
    for (;;) {
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
        timespec timeout{};
        timespec* timeout_ptr = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (master_fd_ >= 0) {
                fds[1] = {master_fd_, static_cast<short>(POLLIN | (want_pollout_ ? POLLOUT : 0)),
                          0};
                timeout_ptr = wake_timeout(timeout);
            }
        }
        if (ppoll(fds, fds[1].fd >= 0 ? 2 : 1, timeout_ptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        end_sessions(serve_line(fds[1].revents));
    }
    drain_at_stop();
}

// How long the serving thread may sleep: until the next answer falls due, or the next look at
// a pending hang-up; nullptr when nothing is due.
timespec* panel::wake_timeout(timespec& timeout) const {
    std::int64_t wake_at = -1;
    if (!out_.empty() && !want_pollout_) {
        wake_at = out_.front().due_ns;
    }
    if (hang_up_pending_) {
        const std::int64_t poll_again = now_ns() + HANG_UP_POLL_NS;
        wake_at = wake_at < 0 ? poll_again : std::min(wake_at, poll_again);
    }
    if (wake_at < 0) {
        return nullptr;
    }
    const std::int64_t wait = std::max<std::int64_t>(0, wake_at - now_ns());
    timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
    return &timeout;
}

// Takes in what the host sent and sends what is due; returns the session ends reached.
int panel::serve_line(short revents) {
    std::lock_guard lock(mutex_);
    if (master_fd_ < 0) {
        return 0;
    }
    const std::int64_t now = now_ns();
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        read_master(now);
    }
    if (revents & POLLOUT) {
        want_pollout_ = false;
    }
    const int sessions_ended = release_due(now_ns(), false);
    hang_up_if_drained(now_ns());
    return sessions_ended;
}

void panel::end_sessions(int count) {
    for (int i = 0; i < count && session_end_; ++i) {
        session_end_();
    }
}

// Whatever the host wrote before stop() is taken in, and what is still owed is sent at once.
void panel::drain_at_stop() {
    int sessions_ended = 0;
    for (;;) {
        int fd = -1;
        {
            std::lock_guard lock(mutex_);
            if (master_fd_ < 0) {
                break;
            }
            read_master(now_ns());
            fd = master_fd_;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, STOP_QUIET_MS) <= 0 || !(pfd.revents & POLLIN)) {
            break;
        }
    }
    {
        std::lock_guard lock(mutex_);
        if (master_fd_ >= 0) {
            sessions_ended = release_due(0, true);
        }
        out_.clear();
    }
    end_sessions(sessions_ended);
}

void panel::read_master(std::int64_t now) {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(master_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            // A byte is on the line for a whole byte time after it was written.
            last_arrival_ns_ = std::max(now, last_arrival_ns_) + BYTE_NS;
            take_in(buffer[i], last_arrival_ns_);
        }
    }
}

// Hands a byte to the panel and queues what it does in answer.
void panel::take_in(std::uint8_t b, std::int64_t arrival) {
    const response r = machine_.feed(b);
    const std::int64_t ready = answer_time(r, arrival);
    for (const action& a : r.actions) {
        if (a.kind == action_kind::reply) {
            reply(a.data, ready);
        } else {
            schedule(a.kind, ready);
        }
    }
}

// A packet's answer waits for its erase or write, which waits for the packets before it.
std::int64_t panel::answer_time(const response& r, std::int64_t arrival) {
    if (!r.after_work || !cfg_.line_timing) {
        return arrival;
    }
    busy_until_ns_ = std::max(arrival, busy_until_ns_) + ms_to_ns(r.work_ms);
    return busy_until_ns_;
}

void panel::reply(const bytes& data, std::int64_t ready) {
    const std::size_t first = out_.size();
    for (const std::uint8_t b : data) {
        std::int64_t due = 0;
        if (cfg_.line_timing) {
            // Each byte is due when it would have finished arriving at the host.
            due = std::max(ready, last_release_ns_) + BYTE_NS;
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

void panel::schedule(action_kind kind, std::int64_t ready) {
    const std::int64_t due = cfg_.line_timing ? std::max(ready, last_release_ns_) : 0;
    out_.push_back({due, kind, 0});
}

// Writes the bytes that are due; returns the number of session ends reached.
int panel::release_due(std::int64_t now, bool ignore_time) {
    int sessions_ended = 0;
    bytes chunk;
    std::size_t i = 0;
    while (i < out_.size() && (ignore_time || out_[i].due_ns <= now)) {
        if (out_[i].kind == action_kind::reply) {
            chunk.push_back(out_[i].value);
            ++i;
            continue;
        }
        if (!write_chunk(chunk)) {
            return sessions_ended;
        }
        const action_kind kind = out_.front().kind;
        out_.pop_front();
        i = 0;
        if (kind == action_kind::session_end) {
            ++sessions_ended;
        } else if (!ignore_time && !hang_up_pending_) {
            hang_up_pending_ = true;
            hang_up_deadline_ns_ = now + HANG_UP_GRACE_NS;
        }
    }
    write_chunk(chunk);
    return sessions_ended;
}

// Writes the bytes at the head of the queue as far as the line takes them; true when all went.
bool panel::write_chunk(bytes& chunk) {
    std::size_t done = 0;
    while (done < chunk.size()) {
        const ssize_t n = write(master_fd_, chunk.data() + done, chunk.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    machine_.record_sent(std::span(chunk).first(done));
    if (done > 0) {
        last_write_ns_ = now_ns();
        written_seen_ = false;
    }
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
    const bool all = done == chunk.size();
    chunk.clear();
    if (!all) {
        want_pollout_ = true;
    }
    return all;
}

// The line is dropped once the host has read what was answered before the hang-up,
// since a hang-up discards whatever the host has not read yet.
void panel::hang_up_if_drained(std::int64_t now) {
    if (!hang_up_pending_ || master_fd_ < 0) {
        return;
    }
    int unread = 0;
    if (ioctl(slave_fd_, FIONREAD, &unread) != 0) {
        unread = 0;
    }
    written_seen_ = written_seen_ || unread > 0;
    const bool drained = unread == 0 && written_seen_ && out_.empty() &&
                         now >= last_write_ns_ + HANG_UP_SETTLE_NS;
    if (drained || now >= hang_up_deadline_ns_) {
        close_fd(master_fd_);
        out_.clear();
    }
}

} // namespace panelsim
