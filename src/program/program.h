// The programming operation (-w): loading the image file and programming it block by block with
// read-back verification and retries.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <cstdint>
#include <span>

constexpr int MAX_VERIFY_RETRIES = 20; // retries of one block after its first attempt

extern std::array<std::uint8_t, IMAGE_BUFFER_SIZE> image_buffer;
extern int image_length;

// Empties the image as at the start of the process: length 0, every byte zero.
void reset_image();

// Loads, connects, programs and leaves flash mode; every failure ends the process.
void program_from_file(const char* path, std::int32_t minimum_version, bool skip_verify);

// Fills image_buffer and image_length; a missing, unreadable or empty file ends the process.
void load_image(const char* path);

// Programs the first `length` bytes of `data` (at most the application area).
void program_image(std::span<const std::uint8_t> data, int length, bool skip_verify);

// Whole blocks needed for `length` bytes of image, the application area at most.
int blocks_to_program(int length);

// Sixteen bytes a line, each line led by the offset within `bytes`, then an empty line.
void hex_dump(std::span<const std::uint8_t> bytes);
