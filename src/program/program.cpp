// The programming operation (-w): the image programmed block by block with read-back
// verification and retries.
#include "program/program.h"

#include "common/fail.h"
#include "image/image_file.h"
#include "protocol/panel_protocol.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cstdio>

void hex_dump(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            std::printf("%04zx ", i);
        }
        std::printf("%02x ", bytes[i]);
        if (i % 16 == 15) {
            std::printf("\n");
        }
    }
    std::printf("\n");
}

[[noreturn]] static void give_up_on_block(block_view expected, block_view got) {
    std::printf("Too many retries, aborting\n");
    std::printf("Data should be:\n");
    hex_dump(expected);
    std::printf("Data is:\n");
    hex_dump(got);
    finish(EXIT_FAILED);
}

// A read-back that came short never verifies, whatever the unfilled tail still holds.
static bool block_verified(block_view expected, block_view got, int got_count) {
    return got_count == BLOCK_SIZE && std::equal(expected.begin(), expected.end(), got.begin());
}

static void program_block(int address, block_view data, block_buffer readback, bool skip_verify) {
    std::printf("Program at %x   \r", address);
    std::fflush(stdout);
    for (int retry = 0;; ++retry) {
        erase_block(address);
        write_block(address, data);
        write_block(address, data);
        const int got = read_block(address, readback);
        if (skip_verify || block_verified(data, readback, got)) {
            return;
        }
        if (retry == MAX_VERIFY_RETRIES) {
            give_up_on_block(data, readback);
        }
        std::printf("\nVerify error, retry #%i\n", retry);
    }
}

void program_image(std::span<const std::uint8_t> data, int length, bool skip_verify) {
    std::array<std::uint8_t, BLOCK_SIZE> readback{};
    if (length > APP_AREA_SIZE) {
        std::printf("Omitting bootloader, stripped to %i\n", APP_AREA_SIZE);
    }
    const int blocks = blocks_to_program(length);
    if (skip_verify) {
        std::printf("VERIFY SWITCHED OFF!!!\n");
    }
    for (int block = 0; block < blocks; ++block) {
        const int address = block * BLOCK_SIZE;
        program_block(address, data.subspan(static_cast<std::size_t>(address)).first<BLOCK_SIZE>(),
                      readback, skip_verify);
    }
}

void program_from_file(const char* path, std::int32_t minimum_version, bool skip_verify) {
    load_image(path);
    connect_panel(minimum_version);
    program_image(image_buffer, image_length, skip_verify);
    exit_flash_mode();
}
