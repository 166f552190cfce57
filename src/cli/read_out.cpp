// The read-out operation: the panel's whole flash into a file.
#include "cli/read_out.h"

#include "cli/dump_file.h"
#include "common/fail.h"
#include "common/panel_constants.h"
#include "protocol/panel_protocol.h"

#include <array>
#include <cstdio>

void read_flash_to_file(const char* path) {
    std::array<std::uint8_t, BLOCK_SIZE> block{};
    create_dump_file(path);
    connect_panel(0);
    for (int address = 0; address < FLASH_SIZE; address += BLOCK_SIZE) {
        std::printf("Read %x   \r", address);
        std::fflush(stdout);
        if (read_block(address, block) != BLOCK_SIZE) {
            fail(EXIT_NO_PANEL, "Incomplete read at %x, aborting\n", address);
        }
        write_dump(block);
    }
    // Only a run that ends well replaces the target: exit status 0 and a new dump go together.
    exit_flash_mode();
    commit_dump_file();
}
