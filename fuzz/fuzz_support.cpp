// What the fuzz targets share: the fuzzer's bytes as a script for the scripted port, and
// properties that end the run when broken.
#include "fuzz_support.h"

#include "fake_port.h"

#include <algorithm>

constexpr int SILENCES[] = {0, 1, 8, 400}; // empty reads before a chunk, by its top two bits

std::uint8_t take_byte(std::span<const std::uint8_t>& input) {
    if (input.empty()) {
        return 0;
    }
    const std::uint8_t byte = input.front();
    input = input.subspan(1);
    return byte;
}

std::vector<std::uint8_t> feed_port(std::span<const std::uint8_t> script, bool hang_up_after) {
    std::vector<std::uint8_t> arriving;
    while (!script.empty()) {
        const std::uint8_t control = take_byte(script);
        const std::size_t length = std::min<std::size_t>((control & 0x3F) + 1U, script.size());
        const fake_port::bytes chunk(script.begin(), script.begin() + static_cast<long>(length));
        script = script.subspan(length);
        fake_port::silence(SILENCES[control >> 6]);
        fake_port::arrive(chunk);
        arriving.insert(arriving.end(), chunk.begin(), chunk.end());
    }
    if (hang_up_after) {
        fake_port::hang_up();
    }
    return arriving;
}
