// panelsim: the panel served on a pseudo-terminal by a thread. The thread reads the clock and
// the line and drives the line's timing (line_timing), which decides when each byte reaches
// the panel and each answer reaches the host.
#include "panel_sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <span>
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

// While a hang-up waits for the host to read, the line is looked at this often.
constexpr std::int64_t HANG_UP_POLL_NS = 1'000'000;
// At stop(), host bytes still in flight are awaited until the line is quiet this long.
constexpr int STOP_QUIET_MS = 10;

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
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
    : cfg_(std::move(cfg)), link_path_(std::move(link_path)), timing_(cfg_) {}

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
    timing_.machine().set_flash(content);
}

panel_state panel::snapshot() const {
    std::lock_guard lock(mutex_);
    const panel_machine& m = timing_.machine();
    return {m.flash(),      m.received(), m.sent(),         m.packets(),
            m.violations(), m.stats(),    m.in_bootloader()};
}

line_stats panel::take_stats() {
    std::lock_guard lock(mutex_);
    return timing_.machine().take_stats();
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
    if (timing_.next_due() && !want_pollout_) {
        wake_at = *timing_.next_due();
    }
    if (timing_.hang_up_pending()) {
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
    const int sessions_ended = release_due(now_ns());
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
        timing_.stop();
        if (master_fd_ >= 0) {
            sessions_ended = release_due(0);
        }
        timing_.drop_output();
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
        timing_.take_in(std::span(buffer, static_cast<std::size_t>(n)), now);
    }
}

// Writes the answer bytes that are due and passes the hang-ups and session ends that follow
// them; returns the number of session ends reached.
int panel::release_due(std::int64_t now) {
    int sessions_ended = 0;
    for (;;) {
        if (!write_chunk(timing_.due_bytes(now))) {
            return sessions_ended;
        }
        const std::optional<action_kind> event = timing_.take_due_event(now);
        if (!event) {
            return sessions_ended;
        }
        if (*event == action_kind::session_end) {
            ++sessions_ended;
        }
    }
}

// Writes the bytes as far as the line takes them; true when all went.
bool panel::write_chunk(const bytes& chunk) {
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
    timing_.wrote(done, now_ns());
    const bool all = done == chunk.size();
    if (!all) {
        want_pollout_ = true;
    }
    return all;
}

// Drops the line once the timing says the host has had what was answered before the hang-up.
void panel::hang_up_if_drained(std::int64_t now) {
    if (!timing_.hang_up_pending() || master_fd_ < 0) {
        return;
    }
    int unread = 0;
    if (ioctl(slave_fd_, FIONREAD, &unread) != 0) {
        unread = 0;
    }
    if (timing_.hang_up_due(now, unread > 0)) {
        close_fd(master_fd_);
    }
}

} // namespace panelsim
