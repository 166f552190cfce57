// The programming operation (-w): the image programmed block by block with read-back
// verification and retries.
#pragma once

#include "common/panel_constants.h"
#include "image/image_file.h"

#include <array>
#include <cstdint>
#include <span>

constexpr int MAX_VERIFY_RETRIES = 20; // retries of one block after its first attempt
// Read-back passes over the whole image, each after one that had to program a block again
constexpr int CHECK_PASSES = 10;

// How -w programs.
struct program_mode {
    bool skip_verify = false;    // -v: each block read back, not compared, nothing checked
    bool only_differing = false; // -s: blocks that already hold the image are left alone
    bool ask_running = true;     // the version the panel runs is asked after programming
};

// Loads, connects, programs, leaves flash mode and asks the panel what it runs now; every
// failure ends the process. With a minimum version, a panel that already holds the image is
// not programmed again, and the run fails when the panel then runs an older version.
void program_from_file(const char* path, std::int32_t minimum_version, program_mode mode);

// Programs the first `length` bytes of `data` (at most the application area), from block
// `first` on: the blocks before it are known to hold their bytes. With verification, every
// block is then read back, programmed again until it holds its bytes and read back once more
// as long as any needed that, and the bootloader area must read as before. With
// only_differing, each block is read first and only those that differ are programmed; the
// check covers every block once any was. Returns how many blocks were programmed.
int program_image(std::span<const std::uint8_t> data, int length, program_mode mode, int first = 0);

// Sixteen bytes a line, each line led by the offset within `bytes`, then an empty line.
void hex_dump(std::span<const std::uint8_t> bytes);
