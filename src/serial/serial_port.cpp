// The serial port: opening and configuring the device, and the only reads, writes and
// waits on it. PANEL_DEVICE, fixed by the build, is the device unless -d names another.
#include "serial/serial_port.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "common/process_end.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

constexpr int WRITE_STALL_MS = 2000; // ms a full output queue may take to accept more

int panel_fd = -1;
bool line_trace = false;
const char* panel_device = PANEL_DEVICE;

// What opening the port set up, and what the end of the process must put back.
struct port_opening {
    timespec at;                                // the trace's time origin
    serial_struct flags_before;                 // the driver's flags before low latency
    volatile std::sig_atomic_t low_latency_set; // flags_before must be put back
};

// What the line owes the tool for the last packet. port_write starts an exchange: the
// answer it announces, and when that can have crossed the line. port_read lowers what is
// owed, and a read of 0 marks the line as ended for good. A wait sleeps only while an
// announced answer is owed and the line has not ended: its last byte cannot be handed over
// before the packet and the answer have crossed the line, whatever FIFO or driver lies
// between. Opening the port starts afresh.
struct line_exchange {
    timespec answer_due; // when the packet and its announced answer have crossed the line
    int answer_left;     // bytes of that answer not read yet
    bool hung_up;        // a read found the end of the line: nothing more will come
    int empty_reads;     // reads that found nothing since bytes last arrived, for the trace
};

static port_opening opening{};
static line_exchange exchange{};

static bool answer_under_way() {
    return exchange.answer_left > 0 && !exchange.hung_up;
}

static void restore_driver_flags() {
    if (opening.low_latency_set) {
        ioctl(panel_fd, TIOCSSERIAL, &opening.flags_before);
    }
}

// USB adapters such as FTDI's hold back a reply shorter than a USB packet for their latency
// timer, 16 ms by default: with one reply per block that would make a run several times
// slower than the line. Low latency is a flag any user may set; a driver without it (a
// pseudo-terminal) refuses the call, and nothing changes.
static void request_low_latency() {
    serial_struct flags{};
    if (ioctl(panel_fd, TIOCGSERIAL, &flags) != 0) {
        trace_note("low latency not offered by the driver");
        return;
    }
    if ((flags.flags & ASYNC_LOW_LATENCY) != 0) {
        trace_note("low latency already set");
        return;
    }
    opening.flags_before = flags;
    at_process_end(restore_driver_flags);
    flags.flags |= ASYNC_LOW_LATENCY;
    opening.low_latency_set = ioctl(panel_fd, TIOCSSERIAL, &flags) == 0;
    trace_note(opening.low_latency_set ? "low latency set" : "low latency refused by the driver");
}

void open_panel_port() {
    // Sleeps may otherwise run 50 µs long, for the kernel to gather wake-ups: every block's
    // wait for its read-back would pay it.
    prctl(PR_SET_TIMERSLACK, 1UL);
    panel_fd = open(panel_device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (panel_fd < 0) {
        fail_system(EXIT_NO_PANEL, "Can't open %s", panel_device);
    }
    exchange = {};
    clock_gettime(CLOCK_MONOTONIC, &opening.at);
    // Two flashers interleaving packets on one line would corrupt the panel.
    if (flock(panel_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            fail_stderr(EXIT_NO_PANEL, "%s is in use by another program\n", panel_device);
        }
        fail_system(EXIT_NO_PANEL, "Can't lock %s", panel_device);
    }
    termios settings{};
    if (tcgetattr(panel_fd, &settings) != 0) {
        fail_system(EXIT_NO_PANEL, "Can't read the line settings of %s", panel_device);
    }
    apply_line_settings(settings);
    // Whatever the panel sent before now would be taken for the answer to the first request.
    if (tcsetattr(panel_fd, TCSAFLUSH, &settings) != 0 || tcflush(panel_fd, TCIFLUSH) != 0) {
        fail_system(EXIT_NO_PANEL, "Can't configure %s", panel_device);
    }
    request_low_latency();
}

static double trace_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - opening.at.tv_sec) * 1e3 +
           static_cast<double>(now.tv_nsec - opening.at.tv_nsec) / 1e6;
}

// Flushed line by line, so the trace keeps pace with the line even when the tool is killed.
static void put_trace_line(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

// Empty reads are only counted: a silent line would otherwise fill the trace.
static void trace_read(std::span<const std::uint8_t> buffer, ssize_t got) {
    if (got <= 0) {
        ++exchange.empty_reads;
        return;
    }
    put_trace_line(format_trace_line(trace_ms(), '<', buffer.first(static_cast<std::size_t>(got)),
                                     exchange.empty_reads));
    exchange.empty_reads = 0;
}

void trace_note(const char* format, ...) {
    if (!line_trace) {
        return;
    }
    char what[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    put_trace_line(format_note_line(trace_ms(), what, exchange.empty_reads));
    exchange.empty_reads = 0;
}

int port_read(std::span<std::uint8_t> buffer) {
    for (;;) {
        ssize_t got = read(panel_fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // A hung-up tty reads 0; an unplugged USB adapter may fail with EIO or ENODEV first.
        if (got < 0 && (errno == EIO || errno == ENODEV)) {
            got = 0;
        }
        exchange.hung_up = exchange.hung_up || got == 0;
        if (got > 0) {
            exchange.answer_left = std::max(0, exchange.answer_left - static_cast<int>(got));
        }
        if (line_trace) {
            trace_read(buffer, got);
        }
        return static_cast<int>(got);
    }
}

static timespec deadline_after(long timeout_ns) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ns / 1000000000L;
    deadline.tv_nsec += timeout_ns % 1000000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

static bool earlier(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits for the descriptor to report `events`, for hang-up or error, or for the deadline
// to pass; a signal does not cut the wait short.
static bool wait_for_event(short events, const timespec& deadline) {
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left_ns =
            (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
        if (left_ns < 0) {
            left_ns = 0;
        }
        const timespec left{left_ns / 1000000000L, left_ns % 1000000000L};
        pollfd watch{panel_fd, events, 0};
        const int ready = ppoll(&watch, 1, &left, nullptr);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

static void sleep_until(const timespec& wake) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

static void start_exchange(std::size_t packet_size, int answer_bytes) {
    exchange.answer_left = answer_bytes;
    if (answer_bytes > 0) {
        exchange.answer_due =
            deadline_after((static_cast<long>(packet_size) + answer_bytes) * BYTE_TIME_NS);
    }
}

// A full output queue (flow control, a slow adapter) is waited out, within WRITE_STALL_MS.
static void write_all(std::span<const std::uint8_t> packet) {
    std::size_t done = 0;
    while (done < packet.size()) {
        const ssize_t wrote = write(panel_fd, packet.data() + done, packet.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno == EINTR) {
            continue;
        } else if (wrote == 0 || errno == EAGAIN) {
            if (!wait_for_event(POLLOUT, deadline_after(WRITE_STALL_MS * 1000000L))) {
                fail(EXIT_NO_PANEL, "Write to %s stalled, aborting\n", panel_device);
            }
        } else {
            fail_system(EXIT_NO_PANEL, "Can't write to %s", panel_device);
        }
    }
}

void port_write(std::span<const std::uint8_t> packet, int answer_bytes) {
    if (line_trace) {
        put_trace_line(format_trace_line(trace_ms(), '>', packet, 0));
    }
    start_exchange(packet.size(), answer_bytes);
    write_all(packet);
}

// The terminal wakes a waiting poll for every byte it is handed, and some UARTs hand over
// every byte on its own: two system calls and a context switch a byte. While an answer of
// known length is under way, a wait sleeps until it can be complete instead, then polls for
// what is still missing, so an answer that comes later than the line allows is taken as it
// comes. The sleep leans on no FIFO size or driver: it ends when the line itself could have
// brought the answer.
void wait_readable(int timeout_us) {
    const timespec deadline = deadline_after(timeout_us * 1000L);
    if (answer_under_way()) {
        sleep_until(earlier(exchange.answer_due, deadline) ? exchange.answer_due : deadline);
    }
    wait_for_event(POLLIN, deadline);
}

bool line_hung_up() {
    return exchange.hung_up;
}

double line_seconds() {
    return panel_fd < 0 ? -1.0 : trace_ms() / 1000.0;
}

void pause_us(int duration_us) {
    timespec left{duration_us / 1000000, static_cast<long>(duration_us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
