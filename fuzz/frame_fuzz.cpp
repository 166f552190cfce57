// The firmware's frames and the version query, fed whatever the line may bring.
//   byte 0: bit 0 set: one version query, else frames until the script is read;
//           bit 1: the line hangs up after the script
//   byte 1: the frame receiver's budget of empty polls; with the query, bytes 1-2 are the
//           minimum version, high byte first, a signed 16-bit number
//   then the script (fuzz_support.h)
#include "protocol/panel_protocol.h"

#include "fake_port.h"
#include "fuzz_support.h"

#include <algorithm>
#include <array>

// Whole frame lengths by type, as the firmware sends them.
static int frame_size(std::uint8_t type) {
    switch (type) {
    case 0x00:
        return 4;
    case 0x0B:
        return 9;
    case 0xF1:
    case 0xF2:
        return 6;
    default:
        return 2;
    }
}

// Each frame is the next run of bytes on the line with its type's length, starting with 0x5A.
static void receive_frames(int budget, const std::vector<std::uint8_t>& line) {
    std::array<std::uint8_t, 32> buffer{};
    auto unread = line.begin();
    while (!fake_port::drained()) {
        const int length = receive_frame(buffer, budget);
        if (length == 0) {
            continue;
        }
        require(buffer[0] == 0x5A, "a frame starts with 0x5A");
        require(length == frame_size(buffer[1]), "a frame has its type's length");
        unread = std::search(unread, line.end(), buffer.begin(), buffer.begin() + length);
        require(unread != line.end(), "a frame is bytes the line brought, in order");
        unread += length;
    }
}

static void query(std::int32_t minimum, std::size_t line_bytes) {
    const version_answer result = query_version(minimum);
    const auto& written = fake_port::written();
    const std::size_t requests = written.size() / 3;
    require(requests >= 1 && requests <= 4 && written.size() % 3 == 0,
            "the query writes one to four version requests");
    for (std::size_t i = 0; i < written.size(); i += 3) {
        require(written[i] == 0xA5 && written[i + 1] == 0x00 && written[i + 2] == 0x00,
                "the query writes version requests alone");
    }
    require(result == version_answer::unknown || requests >= 2,
            "a version is taken only once a second request brought it");
    require(minimum != 0 || result != version_answer::older, "no version is older than 0");
    require(minimum != -1 || result != version_answer::current, "every version is older than -1");
    // One read a byte, and each wait for a reply gives up after 1001 empty polls.
    require(fake_port::reads() <= static_cast<int>(line_bytes + requests * 1001),
            "the query ends within its polls");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const std::uint8_t flags = take_byte(input);
    const std::uint8_t high = take_byte(input);
    fake_port::reset();
    reset_frame_receiver();
    if ((flags & 1) == 0) {
        receive_frames(high, feed_port(input, (flags & 2) != 0));
        return 0;
    }
    const std::uint8_t low = take_byte(input);
    const auto minimum = static_cast<std::int16_t>(high * 256 + low);
    query(minimum, feed_port(input, (flags & 2) != 0).size());
    return 0;
}
