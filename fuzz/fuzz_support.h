// What the fuzz targets share: the end of the process caught, the fuzzer's bytes read as a
// header and as a script for the scripted port, and properties that end the run when broken.
#pragma once

#include "require.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Thrown where the tool would end the process: finish() of the fuzz targets.
struct process_end {
    int status;
};


// The next byte of `input`, taken off its front; 0 once it is empty.
std::uint8_t take_byte(std::span<const std::uint8_t>& input);

// Queues `script` on the scripted port, read as chunks: a control byte, whose top two bits
// choose the empty reads before the chunk (0, 1, 8 or 400, the last enough for any read
// to give up) and whose low six bits are the chunk's length less one, then the chunk's
// bytes, which arrive together. After the script the line is silent, or hung up.
// Returns the bytes of all chunks in the order they arrive.
std::vector<std::uint8_t> feed_port(std::span<const std::uint8_t> script, bool hang_up_after);
