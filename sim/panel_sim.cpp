// panelsim: the panel's side of the line: firmware and bootloader state machines, fault
// injection and the 115200-baud timing model, served on a pseudo-terminal.
#include "panel_sim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
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
// Where the bootloader's own flash begins. Kept apart from the tool's APP_AREA_SIZE on
// purpose: a wrong limit in the tool shows as a violation here instead of moving with it.
constexpr int BOOTLOADER_START = 0x1E00;
// At stop(), host bytes still in flight are awaited until the line is quiet this long.
constexpr int STOP_QUIET_MS = 10;

constexpr std::uint8_t REQUEST_START = 0xA5;
constexpr std::uint8_t FRAME_START = 0x5A;
constexpr std::uint8_t SYNC = 0xAA;
constexpr std::uint8_t SYNC_ANSWER = 0x55;
constexpr std::uint8_t PACKET_MARK = 0x42;
constexpr std::uint8_t ACK = 0x00;
constexpr std::uint8_t CMD_EXIT = 0x01;
constexpr std::uint8_t CMD_ERASE = 0x02;
constexpr std::uint8_t CMD_WRITE = 0x03;
constexpr std::uint8_t CMD_READ = 0x04;

const bytes VERSION_REQUEST = {0xA5, 0x00, 0x00};
const bytes FLASH_REQUEST = {0xA5, 0x3C, 0x5E, 0x27};
const bytes ALREADY_IN_BOOTLOADER = {0xFF, 0xFF};

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t ms_to_ns(double ms) {
    return std::llround(ms * 1e6);
}

bool is_prefix(const bytes& prefix, const bytes& of) {
    return prefix.size() <= of.size() && std::equal(prefix.begin(), prefix.end(), of.begin());
}

std::size_t packet_length(std::uint8_t command) {
    switch (command) {
    case CMD_EXIT:
        return 2;
    case CMD_WRITE:
        return 4 + BLOCK_SIZE + 1;
    default:
        return 4;
    }
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

flash_image default_flash() {
    flash_image image{};
    for (int i = 0; i < FLASH_SIZE; ++i) {
        const int block = i / BLOCK_SIZE;
        image[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>((i * 29 + block * 17) ^ 0xA5);
    }
    return image;
}

double line_stats::line_limit_ms(const config& cfg) const {
    const double byte_ms = 10.0 / 115.2;
    double ms = static_cast<double>(host_bytes + panel_bytes) * byte_ms;
    ms += erases * cfg.erase_ms + writes * cfg.write_ms;
    ms += 10.0 * sync_attempts;
    if (flash_requests > 0) {
        ms += 400.0;
    }
    return ms;
}

panel::panel(config cfg, std::string link_path)
    : cfg_(std::move(cfg)), link_path_(std::move(link_path)), flash_(default_flash()),
      bootloader_(cfg_.start_in_bootloader) {}

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
        const auto early = static_cast<ssize_t>(cfg_.sent_at_start.size());
        if (write(master_fd_, cfg_.sent_at_start.data(), cfg_.sent_at_start.size()) != early) {
            fail_errno("write");
        }
        sent_ = cfg_.sent_at_start;
        if (cfg_.hold_host_output && tcflow(slave_fd_, TCOOFF) != 0) {
            fail_errno("tcflow");
        }
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) {
            fail_errno("eventfd");
        }
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
        if (symlink(name, link_path_.c_str()) != 0) {
            fail_errno("symlink " + link_path_);
        }
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
    flash_ = content;
}

flash_image panel::flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

bytes panel::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bytes panel::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<packet> panel::packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

std::vector<packet> panel::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

line_stats panel::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

line_stats panel::take_stats() {
    std::lock_guard lock(mutex_);
    line_stats taken = stats_;
    stats_ = line_stats{};
    return taken;
}

bool panel::in_bootloader() const {
    std::lock_guard lock(mutex_);
    return bootloader_;
}

termios panel::host_settings() const {
    std::lock_guard lock(mutex_);
    termios settings{};
    if (slave_fd_ < 0 || tcgetattr(slave_fd_, &settings) != 0) {
        fail_errno("tcgetattr");
    }
    return settings;
}

void panel::serve() {
    for (;;) {
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        timespec timeout{};
        timespec* timeout_ptr = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (master_fd_ >= 0) {
                fds[1] = {master_fd_, static_cast<short>(POLLIN | (want_pollout_ ? POLLOUT : 0)),
                          0};
                count = 2;
                std::int64_t wake_at = -1;
                if (!out_.empty() && !want_pollout_) {
                    wake_at = out_.front().due_ns;
                }
                if (hang_up_pending_) {
                    const std::int64_t poll_again = now_ns() + 1'000'000;
                    wake_at = wake_at < 0 ? poll_again : std::min(wake_at, poll_again);
                }
                if (wake_at >= 0) {
                    const std::int64_t wait = std::max<std::int64_t>(0, wake_at - now_ns());
                    timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
                    timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
                    timeout_ptr = &timeout;
                }
            }
        }
        if (ppoll(fds, count, timeout_ptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        int sessions_ended = 0;
        {
            std::lock_guard lock(mutex_);
            if (master_fd_ >= 0) {
                const std::int64_t now = now_ns();
                if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
                    read_master(now);
                }
                if (fds[1].revents & POLLOUT) {
                    want_pollout_ = false;
                }
                sessions_ended = release_due(now_ns(), false);
                hang_up_if_drained(now_ns());
            }
        }
        for (int i = 0; i < sessions_ended && session_end_; ++i) {
            session_end_();
        }
    }
    drain_at_stop();
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
    for (int i = 0; i < sessions_ended && session_end_; ++i) {
        session_end_();
    }
}

int panel::read_master(std::int64_t now) {
    std::uint8_t buffer[4096];
    int total = 0;
    for (;;) {
        const ssize_t n = read(master_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            received_.push_back(buffer[i]);
            ++stats_.host_bytes;
            // A byte is on the line for a whole byte time after it was written.
            last_arrival_ns_ = std::max(now, last_arrival_ns_) + BYTE_NS;
            feed(buffer[i], last_arrival_ns_);
        }
        total += static_cast<int>(n);
    }
    return total;
}

void panel::feed(std::uint8_t b, std::int64_t arrival) {
    if (bootloader_) {
        feed_bootloader(b, arrival);
    } else {
        feed_firmware(b, arrival);
    }
}

void panel::feed_firmware(std::uint8_t b, std::int64_t arrival) {
    if (pending_.empty()) {
        if (b == REQUEST_START) {
            pending_.push_back(b);
        }
        return;
    }
    pending_.push_back(b);
    if (pending_ == VERSION_REQUEST) {
        pending_.clear();
        if (cfg_.hang_up_on_version_request) {
            schedule(event_kind::hang_up, arrival);
        } else if (cfg_.version_reply) {
            reply(*cfg_.version_reply, arrival);
        } else {
            reply({FRAME_START, 0x00, static_cast<std::uint8_t>(cfg_.version >> 8),
                   static_cast<std::uint8_t>(cfg_.version & 0xFF)},
                  arrival);
        }
    } else if (pending_ == FLASH_REQUEST) {
        pending_.clear();
        flash_request(arrival);
    } else if (!is_prefix(pending_, VERSION_REQUEST) && !is_prefix(pending_, FLASH_REQUEST)) {
        // A broken request: the byte that broke it may start the next one.
        pending_.clear();
        feed_firmware(b, arrival);
    }
}

void panel::flash_request(std::int64_t arrival) {
    ++stats_.flash_requests;
    if (bootloader_) {
        reply(ALREADY_IN_BOOTLOADER, arrival);
        return;
    }
    bootloader_ = true;
    if (cfg_.hang_up_on_flash_request) {
        schedule(event_kind::hang_up, arrival);
        return;
    }
    reply(cfg_.flash_mode_reply, arrival);
}

void panel::feed_bootloader(std::uint8_t b, std::int64_t arrival) {
    if (pending_.empty()) {
        if (b == SYNC) {
            ++stats_.sync_attempts;
            reply(bytes(static_cast<std::size_t>(std::max(0, cfg_.sync_reply_bytes)), SYNC_ANSWER),
                  arrival);
        } else if (b == REQUEST_START || (b >= CMD_EXIT && b <= CMD_READ)) {
            pending_.push_back(b);
        }
        return;
    }
    pending_.push_back(b);
    if (pending_.front() == REQUEST_START) {
        if (pending_ == FLASH_REQUEST) {
            pending_.clear();
            flash_request(arrival);
        } else if (!is_prefix(pending_, FLASH_REQUEST)) {
            pending_.clear();
            feed_bootloader(b, arrival);
        }
        return;
    }
    if (pending_.size() == 2 && b != PACKET_MARK) {
        pending_.clear();
        feed_bootloader(b, arrival);
        return;
    }
    if (pending_.size() == packet_length(pending_.front())) {
        complete_packet(arrival);
        pending_.clear();
    }
}

// Addresses are taken as the block they fall in, wrapped into the flash; violations are
// judged on the address as sent.
void panel::complete_packet(std::int64_t arrival) {
    packet p;
    p.command = pending_[0];
    std::int64_t delay = 0;
    bytes data;
    std::size_t block = 0;
    if (p.command != CMD_EXIT) {
        p.address = pending_[2] << 8 | pending_[3];
        block = static_cast<std::size_t>(p.address & (FLASH_SIZE - 1) & ~(BLOCK_SIZE - 1));
    }
    const auto cells = [&] { return flash_.begin() + static_cast<std::ptrdiff_t>(block); };
    switch (p.command) {
    case CMD_EXIT:
        bootloader_ = false;
        break;
    case CMD_ERASE:
        std::fill(cells(), cells() + BLOCK_SIZE, std::uint8_t{0xFF});
        ++stats_.erases;
        delay = ms_to_ns(cfg_.erase_ms);
        break;
    case CMD_WRITE: {
        unsigned sum = 0;
        for (int i = 0; i < BLOCK_SIZE; ++i) {
            sum += pending_[static_cast<std::size_t>(4 + i)];
        }
        p.checksum_ok = (sum & 0xFF) == pending_.back();
        if (p.checksum_ok) {
            // Programming only clears bits, as real flash does.
            for (int i = 0; i < BLOCK_SIZE; ++i) {
                cells()[i] &= pending_[static_cast<std::size_t>(4 + i)];
            }
        }
        ++stats_.writes;
        delay = ms_to_ns(cfg_.write_ms);
        break;
    }
    case CMD_READ:
        data.assign(cells(), cells() + BLOCK_SIZE);
        if (cfg_.fault_block >= 0 && p.address == cfg_.fault_block &&
            faulted_reads_ < cfg_.fault_reads) {
            ++faulted_reads_;
            if (cfg_.fault_corrupt) {
                data[0] = static_cast<std::uint8_t>(~data[0]);
            }
            if (cfg_.fault_short_bytes >= 0) {
                data.resize(std::min<std::size_t>(
                    data.size(), static_cast<std::size_t>(cfg_.fault_short_bytes)));
            }
        }
        break;
    default:
        break;
    }
    packets_.push_back(p);
    if ((p.command == CMD_ERASE || p.command == CMD_WRITE) && p.address >= BOOTLOADER_START) {
        violations_.push_back(p);
    }

    if (cfg_.stop_after_packets >= 0 && answered_packets_ >= cfg_.stop_after_packets) {
        silent_ = true;
    }
    if (cfg_.hang_up_after_packets >= 0 && answered_packets_ >= cfg_.hang_up_after_packets) {
        schedule(event_kind::hang_up, arrival);
        return;
    }
    std::int64_t ready = 0;
    if (cfg_.line_timing) {
        ready = std::max(arrival, busy_until_ns_) + delay;
        busy_until_ns_ = ready;
    }
    if (!silent_) {
        bytes answer = cfg_.noise_before_ack;
        answer.push_back(ACK);
        answer.insert(answer.end(), data.begin(), data.end());
        reply(answer, ready);
        ++answered_packets_;
    }
    if (p.command == CMD_EXIT) {
        schedule(event_kind::session_end, ready);
    }
    if (cfg_.hang_up_after_packets >= 0 && answered_packets_ == cfg_.hang_up_after_packets) {
        schedule(event_kind::hang_up, ready);
    }
}

void panel::reply(const bytes& data, std::int64_t ready) {
    if (silent_ || hang_up_pending_) {
        return;
    }
    const std::size_t first = out_.size();
    for (const std::uint8_t b : data) {
        std::int64_t due = 0;
        if (cfg_.line_timing) {
            // Each byte is due when it would have finished arriving at the host.
            due = std::max(ready, last_release_ns_) + BYTE_NS;
            last_release_ns_ = due;
        }
        out_.push_back({due, event_kind::byte, b});
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

void panel::schedule(event_kind kind, std::int64_t ready) {
    if (kind == event_kind::hang_up) {
        silent_ = true; // nothing more is answered on a line about to drop
    }
    const std::int64_t due = cfg_.line_timing ? std::max(ready, last_release_ns_) : 0;
    out_.push_back({due, kind, 0});
}

// Writes the bytes that are due; returns the number of session ends reached.
int panel::release_due(std::int64_t now, bool ignore_time) {
    int sessions_ended = 0;
    bytes chunk;
    const auto flush = [&]() -> bool {
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
        sent_.insert(sent_.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(done));
        stats_.panel_bytes += static_cast<long>(done);
        if (done > 0) {
            last_write_ns_ = now_ns();
        }
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
        const bool all = done == chunk.size();
        chunk.clear();
        if (!all) {
            want_pollout_ = true;
        }
        return all;
    };
    std::size_t i = 0;
    while (i < out_.size() && (ignore_time || out_[i].due_ns <= now)) {
        if (out_[i].kind == event_kind::byte) {
            chunk.push_back(out_[i].value);
            ++i;
            continue;
        }
        if (!flush()) {
            return sessions_ended;
        }
        const event_kind kind = out_.front().kind;
        out_.pop_front();
        i = 0;
        if (kind == event_kind::session_end) {
            ++sessions_ended;
        } else if (!ignore_time && !hang_up_pending_) {
            hang_up_pending_ = true;
            hang_up_deadline_ns_ = now + HANG_UP_GRACE_NS;
        }
    }
    flush();
    return sessions_ended;
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
    const bool drained = unread == 0 && out_.empty() && now >= last_write_ns_ + HANG_UP_SETTLE_NS;
    if (drained || now >= hang_up_deadline_ns_) {
        close_fd(master_fd_);
        out_.clear();
        pending_.clear();
    }
}

} // namespace panelsim
