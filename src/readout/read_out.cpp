// The read-out operation: the panel's whole flash into a file.
#include "readout/read_out.h"

#include "readout/dump_file.h"
#include "common/panel_constants.h"
#include "protocol/panel_protocol.h"

#include <array>
#include <cstdio>

void read_flash_to_file(const char* path) {
    // The dump is written in one piece once the panel has sent it all: one write instead
    // of one per block while the line is busy.
    std::array<std::uint8_t, FLASH_SIZE> flash{};
    create_dump_file(path);
    connect_panel(0);
    for (int address = 0; address < FLASH_SIZE; address += BLOCK_SIZE) {
        std::printf("Read %x   \r", address);
        std::fflush(stdout);
        read_agreed_block(address, block_buffer(flash.data() + address, BLOCK_SIZE));
    }
    // Only a run that ends well replaces the target: exit status 0 and a new dump go together.
    exit_flash_mode();
    write_dump(flash);
    commit_dump_file();
}
