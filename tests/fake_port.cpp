// A scripted port linked in place of the real one.
#include "fake_port.h"

#include "serial/serial_port.h"

#include <algorithm>
#include <deque>

namespace {

struct arrival {
    fake_port::bytes input; // empty: one read that finds nothing
};

std::deque<arrival> queue;
bool hung_up = false;
int read_count = 0;
int open_count = 0;
std::vector<int> wait_log;
std::vector<int> answer_log;
std::vector<int> pause_log;
fake_port::bytes write_log;

} // namespace

int panel_fd = -1;
bool line_trace = false;
const char* panel_device = "/dev/frontpanel";

namespace fake_port {

void reset() {
    queue.clear();
    hung_up = false;
    read_count = 0;
    open_count = 0;
    wait_log.clear();
    answer_log.clear();
    pause_log.clear();
    write_log.clear();
    panel_fd = -1;
}

void arrive(const bytes& input) {
    if (!input.empty()) {
        queue.push_back({input});
    }
}

void silence(int reads) {
    for (int i = 0; i < reads; ++i) {
        queue.push_back({});
    }
}

void hang_up() {
    hung_up = true;
}
void recovery_succeeds() {
    silence(4);
}
bool drained() {
    return queue.empty();
}
int reads() {
    return read_count;
}
int opens() {
    return open_count;
}
const std::vector<int>& waits() {
    return wait_log;
}
const std::vector<int>& answers() {
    return answer_log;
}
const std::vector<int>& pauses() {
    return pause_log;
}
const bytes& written() {
    return write_log;
}

} // namespace fake_port

void open_panel_port() {
    ++open_count;
    panel_fd = 3;
}

int port_read(std::span<std::uint8_t> buffer) {
    ++read_count;
    if (queue.empty()) {
        return hung_up ? 0 : -1;
    }
    auto& front = queue.front().input;
    if (front.empty()) {
        queue.pop_front();
        return -1;
    }
    const std::size_t count = std::min(buffer.size(), front.size());
    std::copy_n(front.begin(), count, buffer.begin());
    front.erase(front.begin(), front.begin() + static_cast<long>(count));
    if (front.empty()) {
        queue.pop_front();
    }
    return static_cast<int>(count);
}

void port_write(std::span<const std::uint8_t> packet, int answer_bytes) {
    write_log.insert(write_log.end(), packet.begin(), packet.end());
    answer_log.push_back(answer_bytes);
}

void wait_readable(int timeout_us) {
    wait_log.push_back(timeout_us);
}

bool line_hung_up() {
    return hung_up && queue.empty();
}

void pause_us(int duration_us) {
    pause_log.push_back(duration_us);
}

double line_seconds() {
    return -1.0;
}

// The scripted port keeps no trace.
void trace_note(const char*, ...) {}
