// The serial line to the panel: the port, and the byte primitives every exchange is built on.
//
// serial_port.cpp is the only code that touches the descriptor and the clock (open, read,
// write, poll, sleep); serial_io.cpp builds the reading loops on those primitives and
// line_settings.cpp fills in the terminal settings, so tests can link a scripted port in
// place of serial_port.cpp and still check both.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <termios.h>

constexpr int READ_ATTEMPTS = 400;  // reads per read_bytes call, successful ones included
constexpr int READ_WAIT_US = 10000; // µs waited for input after a read that brought nothing
// reads without the expected bytes before giving up: 1 s of a silent line, far more than the
// panel's erase or write takes, so that a lost answer costs a repeat, not the run
constexpr int ACK_ATTEMPTS = 100;
// µs of silence that ends the discarding of stale input: longer than a killed run's last
// answer can keep its bytes back (a flash write before the acknowledgement, an adapter's
// 16 ms latency timer, a busy host)
constexpr int DRAIN_QUIET_US = 20000;
constexpr int DRAIN_WAITS = 50; // waits while stale input keeps coming, at most

extern int panel_fd;
extern bool line_trace;          // -t: every exchange on the line goes to standard error
extern const char* panel_device; // the panel's line: the build's device, or -d's

// --- serial_port.cpp: the descriptor and the clock ---

// Opens panel_device, locks it against other programs, sets it to raw 115200 8N1 and asks
// the driver for low latency where it offers it, or ends the process with EXIT_NO_PANEL.
void open_panel_port();

// One read of up to buffer.size() bytes: the byte count, 0 (hang-up, or the device gone) or
// -1 (nothing pending).
int port_read(std::span<std::uint8_t> buffer);

// Writes the whole packet, continuing partial writes, or ends the process with EXIT_NO_PANEL.
// `answer_bytes`: how many bytes the panel answers the packet with, when that is known.
void port_write(std::span<const std::uint8_t> packet, int answer_bytes = 0);

// Returns when input is pending, the line has hung up, or `timeout_us` has passed. While
// the answer a packet asked for is under way, it first sleeps until that can have crossed
// the line, so it wakes about once an answer however the UART hands the bytes over.
void wait_readable(int timeout_us);

// Whether a read has found the end of the line: a hang-up, or the device gone.
bool line_hung_up();

// A fixed pause that input does not end.
void pause_us(int duration_us);

// Seconds since the port was opened; -1 when it never was.
double line_seconds();

// With line_trace, notes on the trace what the tool made of the line (a wait that gave up,
// low latency), printf-style, with the reads that found nothing since bytes last arrived;
// without, does nothing.
void trace_note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// --- line_settings.cpp ---

// Raw 115200 baud 8N1 with the receiver on and no flow control; hang-up on the last close;
// no translation, echo or signal characters; VMIN 1 and VTIME 0, as the descriptor is
// non-blocking and every wait is a poll. Fields not named keep the value the device reported.
void apply_line_settings(termios& settings);

// --- serial_io.cpp: reading loops ---

// Fills up to destination.size() bytes within `attempt_limit` attempts, each byte that arrives and
// each read that finds nothing counting as one; waits only while the line is silent. Returns
// how many arrived; positions not filled keep what they held.
int read_bytes(std::span<std::uint8_t> destination, int attempt_limit = READ_ATTEMPTS);

// Fills up to destination.size() bytes, giving up once `quiet_waits` waits in a row have
// brought nothing. Returns how many arrived; positions not filled keep what they held.
int read_until_quiet(std::span<std::uint8_t> destination, int quiet_waits);

// Reads and discards input until a wait of DRAIN_QUIET_US brings nothing, the line hangs up
// or DRAIN_WAITS waits have passed; returns how many bytes were discarded.
int discard_stale_input();

// Waits until the bytes of `expected` have arrived in order, other bytes between them
// discarded; false after ACK_ATTEMPTS reads that brought nothing or something else.
bool wait_for_bytes(std::span<const std::uint8_t> expected);

// --- line_trace.cpp: the lines of the trace, each ending in a newline ---

// "<ms> <direction> <bytes in hex>", then "(after N empty reads)" when N > 0.
std::string format_trace_line(double ms, char direction, std::span<const std::uint8_t> bytes,
                              int empty_reads);
// "<ms> - <what>", then "(after N empty reads)" when N > 0.
std::string format_note_line(double ms, const char* what, int empty_reads);
