// The firmware image: the file given to -w loaded into memory, and the blocks it covers.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <cstdint>

extern std::array<std::uint8_t, IMAGE_BUFFER_SIZE> image_buffer;
extern int image_length;

// Empties the image as at the start of the process: length 0, every byte zero.
void reset_image();

// Fills image_buffer and image_length; a missing, unreadable or empty file ends the process.
void load_image(const char* path);

// Whole blocks needed for `length` bytes of image, the application area at most.
int blocks_to_program(int length);
