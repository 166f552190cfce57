// The version query: asks the running firmware for its version in its own framing and
// decides whether the panel needs programming.
#include "protocol/panel_protocol.h"

#include "common/fail.h"
#include "report/run_report.h"
#include "serial/serial_port.h"

#include <cstdio>

// Receiver state, kept across calls so a frame cut off by silence can be completed.
int frame_pos = 0;
int frame_payload_len = 0;

void reset_frame_receiver() {
    frame_pos = 0;
    frame_payload_len = 0;
}

int frame_payload_length(std::uint8_t type) {
    for (const frame_kind& kind : FRAME_KINDS) {
        if (kind.type == type) {
            return kind.payload_bytes;
        }
    }
    return 0;
}

int receive_frame(std::span<std::uint8_t> buffer, int max_empty_polls) {
    int budget = max_empty_polls;
    for (;;) {
        const auto slot = buffer.subspan(static_cast<std::size_t>(frame_pos), 1);
        if (port_read(slot) != 1) {
            if (--budget < 0) {
                trace_note("wait for a frame gave up");
                return 0;
            }
            wait_readable(FRAME_WAIT_US);
            continue;
        }
        if (frame_pos == 0) {
            if (slot[0] == FRAME_START) {
                frame_pos = 1;
            }
        } else if (frame_pos == 1) {
            const int length = frame_payload_length(slot[0]);
            if (length == 0) {
                frame_pos = 0;
                frame_payload_len = 0;
                return 2;
            }
            frame_payload_len = length;
            frame_pos = 2;
        } else if (frame_pos == frame_payload_len + 1) {
            frame_pos = 0;
            return frame_payload_len + 2;
        } else {
            ++frame_pos;
        }
    }
}

void send_version_request() {
    port_write(VERSION_REQUEST);
}

// Every other frame type is 2, 6 or 9 bytes long.
static bool is_version_reply(std::span<const std::uint8_t> frame, int length) {
    return length == 2 + frame_payload_length(FRAME_VERSION) && frame[1] == FRAME_VERSION;
}

// One request and its reply within `empty_polls`: the version, or -1 when no version reply came.
static int ask_version(int empty_polls) {
    // A frame cut off by silence belongs to an earlier request.
    reset_frame_receiver();
    send_version_request();
    std::array<std::uint8_t, 32> frame{};
    if (!is_version_reply(frame, receive_frame(frame, empty_polls))) {
        return -1;
    }
    return frame[2] * 256 + frame[3];
}

// A version decides whether the panel is programmed, and nothing in its frame shows a flipped
// bit: it is taken only when a second request brings the same reply. A request a flipped bit
// spoiled goes unanswered, so silence counts only when a second request meets it too.
static int confirmed_version() {
    int version = ask_version(VERSION_EMPTY_POLLS);
    for (int ask = 1; ask < VERSION_ASKS && !line_hung_up(); ++ask) {
        const int again = ask_version(VERSION_EMPTY_POLLS);
        if (again == version) {
            return version;
        }
        trace_note("version replies differ");
        version = again;
    }
    return -1;
}

int running_version() {
    int version = -1;
    for (int polls = 0; polls < FIRMWARE_START_POLLS; polls += FIRMWARE_ASK_POLLS) {
        const int again = ask_version(FIRMWARE_ASK_POLLS);
        if (again >= 0 && again == version) {
            return version;
        }
        version = again >= 0 ? again : version;
    }
    return -1;
}

version_answer query_version(std::int32_t minimum_version) {
    std::printf("Get firmware version...\n");
    const int version = confirmed_version();
    if (version < 0) {
        say("Frontpanel seems to be in safe bootloader mode\n");
        return version_answer::unknown;
    }
    say("Frontpanel version %04x\n", static_cast<unsigned>(version));
    report.version_before_known = true;
    report.version_before = version;
    return static_cast<std::uint32_t>(version) < static_cast<std::uint32_t>(minimum_version)
               ? version_answer::older
               : version_answer::current;
}

void version_gate(std::int32_t minimum_version) {
    if (query_version(minimum_version) == version_answer::current) {
        fail(EXIT_VERSION_CURRENT, "Frontpanel version OK, no programming done.\n");
    }
}
