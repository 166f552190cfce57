// Intel HEX and Motorola S-record images: a record file's text turned into flash bytes, by
// pure functions over the file's bytes that the tool, the tests and the fuzz target share.
#pragma once

#include "common/panel_constants.h"

#include <array>
#include <cstdint>
#include <span>

enum class image_format { raw, intel_hex, s_record };

// What parsing a record file gave: the image's length, or where and why the file is refused.
struct records_result {
    int length = 0;              // bytes: the highest address a record gives, + 1
    int line = 0;                // the line of the fault, from 1; 0 when there is none
    std::array<char, 96> what{}; // the fault, without its line
};

// The format of which the first line of `file` is a well-formed record (its start, hex
// digits, count and checksum); raw for any other file, which is then a raw image.
image_format detect_format(std::span<const std::uint8_t> file);

// Fills `image` from the records of `text`, every byte that no record gives 0x00. A line ends
// at LF, CRLF or CR; empty lines are skipped; hex digits are of either case; a byte given twice
// must be given the same; after the end record only empty lines may follow.
records_result parse_records(std::span<const std::uint8_t> text, image_format format,
                             std::span<std::uint8_t, IMAGE_BUFFER_SIZE> image);
