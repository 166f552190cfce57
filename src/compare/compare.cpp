// The compare operation (-C): whether the panel holds an image, without programming it.
#include "compare/compare.h"

#include "common/fail.h"
#include "image/image_file.h"
#include "program/program.h"
#include "protocol/panel_protocol.h"
#include "report/run_report.h"

#include <array>
#include <cstdio>

void compare_with_file(const char* path) {
    load_image(path);
    connect_panel(0);
    if (image_length > APP_AREA_SIZE) {
        std::printf("Omitting bootloader, stripped to %i\n", APP_AREA_SIZE);
    }
    const int blocks = blocks_to_program(image_length);
    std::array<std::uint8_t, BLOCK_SIZE> got{};
    int differing = 0;
    for (int address = 0; address < blocks * BLOCK_SIZE; address += BLOCK_SIZE) {
        std::printf("Compare at %x   \r", address);
        std::fflush(stdout);
        const block_view expected(image_buffer.data() + address, BLOCK_SIZE);
        // A block is called different only once two reads agree on other bytes than the
        // image's: a noisy line must not make a right panel look wrong.
        if (block_holds(address, got, expected)) {
            continue;
        }
        std::printf("\nBlock at %x differs\n", address);
        if (differing++ == 0) {
            std::printf("Data should be:\n");
            hex_dump(expected);
            std::printf("Data is:\n");
            hex_dump(got);
        }
    }
    exit_flash_mode();
    report.blocks_differing = differing;
    if (differing > 0) {
        fail(EXIT_DIFFERS, "%i of %i blocks differ from the image\n", differing, blocks);
    }
    say("All %i blocks hold the image\n", blocks);
}
