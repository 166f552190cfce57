// The programming operation (-w): the image programmed block by block, then read back and
// checked end to end, with retries.
#include "program/program.h"

#include "common/fail.h"
#include "image/image_file.h"
#include "protocol/panel_protocol.h"
#include "report/run_report.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cstdio>

constexpr int APP_BLOCKS = APP_AREA_SIZE / BLOCK_SIZE;
constexpr int BOOTLOADER_AREA_SIZE = FLASH_SIZE - APP_AREA_SIZE; // bytes never written

// Attempts made at each block of this run (erase and two writes each), answered or not.
static std::array<int, APP_BLOCKS> attempts{};
// The bootloader area as it read before the first erase.
static std::array<std::uint8_t, BOOTLOADER_AREA_SIZE> bootloader_area{};
static bool bootloader_area_read = false;

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

static block_view image_block(std::span<const std::uint8_t> data, int block) {
    return data.subspan(static_cast<std::size_t>(block * BLOCK_SIZE)).first<BLOCK_SIZE>();
}

// One attempt: erase, then the same write packet twice. An attempt whose answer is lost is
// made again once the line is recovered; each counts toward the block's limit.
static void write_attempt(int block, block_view data, bool read_back, block_buffer readback) {
    const int address = block * BLOCK_SIZE;
    for (;;) {
        ++attempts[block];
        if (erase_block(address) && write_block(address, data) && write_block(address, data) &&
            (!read_back || read_block(address, readback) == BLOCK_SIZE)) {
            return;
        }
        if (attempts[block] == MAX_VERIFY_RETRIES + 1) {
            fail(EXIT_NO_PANEL, "No answer from Frontpanel, aborting\n");
        }
        recover_panel(address);
    }
}

// Reads the block back until it holds the image's bytes, programming it again while it does
// not; true when it had to be programmed again.
static bool verify_block(int block, block_view data, block_buffer readback) {
    const int address = block * BLOCK_SIZE;
    bool mended = false;
    for (;;) {
        switch (settle_block(address, readback, data)) {
        case block_state::matches:
            return mended;
        case block_state::unanswered:
            fail(EXIT_NO_PANEL, "Incomplete read at %x, aborting\n", address);
        case block_state::agreed:
        case block_state::unsettled:
            break;
        }
        if (attempts[block] > MAX_VERIFY_RETRIES) {
            give_up_on_block(data, readback);
        }
        std::printf("\nVerify error, retry #%i\n", attempts[block] - 1);
        write_attempt(block, data, false, readback);
        ++report.blocks_reprogrammed;
        mended = true;
    }
}

// Every block is read back once all are written, and the whole check is repeated after any
// block had to be programmed again: a flipped address bit in an erase or a write changes a
// block other than the one meant, one already checked as well as one still to come.
static void check_programmed(std::span<const std::uint8_t> data, int blocks) {
    std::array<std::uint8_t, BLOCK_SIZE> readback{};
    for (int pass = 1;; ++pass) {
        bool mended = false;
        for (int block = 0; block < blocks; ++block) {
            std::printf("Verify at %x   \r", block * BLOCK_SIZE);
            std::fflush(stdout);
            mended = verify_block(block, image_block(data, block), readback) || mended;
        }
        if (!mended) {
            return;
        }
        if (pass == CHECK_PASSES) {
            fail(EXIT_FAILED, "\nProgrammed blocks keep changing, aborting\n");
        }
    }
}

static block_buffer bootloader_block(int address) {
    return block_buffer(bootloader_area.data() + (address - APP_AREA_SIZE), BLOCK_SIZE);
}

static void read_bootloader_area() {
    for (int address = APP_AREA_SIZE; address < FLASH_SIZE; address += BLOCK_SIZE) {
        read_agreed_block(address, bootloader_block(address));
    }
    bootloader_area_read = true;
}

// Nothing programming sends addresses the bootloader area, but a flipped address bit can:
// the tool cannot write it back, so it can only say so.
static void check_bootloader_area() {
    std::array<std::uint8_t, BLOCK_SIZE> now{};
    for (int address = APP_AREA_SIZE; address < FLASH_SIZE; address += BLOCK_SIZE) {
        const block_view before = bootloader_block(address);
        if (!block_holds(address, now, before)) {
            std::printf("\nBootloader area changed at %x: the panel may not start again, and "
                        "programming cannot repair it\nData was:\n",
                        address);
            hex_dump(before);
            std::printf("Data is:\n");
            hex_dump(now);
            finish(EXIT_FAILED);
        }
    }
}

// With -s, a block whose one whole read brings the image's bytes is left as it is: noise can
// make a read differ from the flash, but not equal to other bytes.
static bool one_read_holds(int block, block_view data, block_buffer readback) {
    const int address = block * BLOCK_SIZE;
    if (!read_whole_block(address, readback)) {
        fail(EXIT_NO_PANEL, "Incomplete read at %x, aborting\n", address);
    }
    return std::equal(data.begin(), data.end(), readback.begin());
}

// Programs the block unless -s finds it holding the image already; true when programmed.
// Without verification each block is read back on the line all the same, once, unchecked.
static bool program_block(int block, block_view data, program_mode mode, block_buffer readback) {
    std::printf("Program at %x   \r", block * BLOCK_SIZE);
    std::fflush(stdout);
    if (mode.only_differing && one_read_holds(block, data, readback)) {
        return false;
    }
    if (!mode.skip_verify && !bootloader_area_read) {
        read_bootloader_area();
    }
    write_attempt(block, data, mode.skip_verify, readback);
    return true;
}

int program_image(std::span<const std::uint8_t> data, int length, program_mode mode, int first) {
    std::array<std::uint8_t, BLOCK_SIZE> readback{};
    attempts.fill(0);
    bootloader_area_read = false;
    if (length > APP_AREA_SIZE) {
        std::printf("Omitting bootloader, stripped to %i\n", APP_AREA_SIZE);
    }
    const int blocks = blocks_to_program(length);
    if (mode.skip_verify) {
        std::printf("VERIFY SWITCHED OFF!!!\n");
    }
    int programmed = 0;
    for (int block = first; block < blocks; ++block) {
        programmed += program_block(block, image_block(data, block), mode, readback) ? 1 : 0;
    }
    if (!mode.skip_verify && programmed > 0) {
        check_programmed(data, blocks);
        check_bootloader_area();
    }
    report.blocks_programmed += programmed;
    report.blocks_held += blocks - programmed;
    return programmed;
}

// With -c, a panel that answers an older version or none may hold the image already: left in
// its bootloader by a run killed before it left flash mode, or holding an image that is not
// the version it was said to be, or that does not start. Programming it again at every boot
// would wear its flash out and change nothing, so the blocks are compared from the first until
// one differs, which for a panel holding another firmware costs one read; the ones before it
// are left alone. As with -s, one whole read decides: noise can make a read differ from the
// flash, but not equal to other bytes, and a block taken for different is only programmed.
// Returns how many hold the image.
static int blocks_already_held(std::span<const std::uint8_t> data, int blocks) {
    std::array<std::uint8_t, BLOCK_SIZE> got{};
    int held = 0;
    for (; held < blocks; ++held) {
        std::printf("Compare at %x   \r", held * BLOCK_SIZE);
        std::fflush(stdout);
        if (!one_read_holds(held, image_block(data, held), got)) {
            break;
        }
    }
    if (held == blocks) {
        say("All %i blocks hold the image already, nothing programmed\n", blocks);
    }
    return held;
}

// Status 0 is to mean that the panel runs the update: a boot-time update that programs an
// image which does not start, or is not the version it was said to be, would otherwise
// program it again at every boot. A minimum version beyond 16 bits (-c -1) asks only for an
// answer.
static void confirm_running(std::int32_t minimum_version) {
    std::printf("Get firmware version...\n");
    const int version = running_version();
    if (version < 0) {
        fail(EXIT_NOT_RUNNING,
             "No firmware version after programming: the image does not start, and a boot-time "
             "update would program it again at every start\n");
    }
    report.version_after_known = true;
    report.version_after = version;
    say("Frontpanel version %04x\n", static_cast<unsigned>(version));
    if (minimum_version > 0 && minimum_version <= 0xFFFF && version < minimum_version) {
        fail(EXIT_NOT_RUNNING,
             "Frontpanel version %04x is older than %04x: the image is not version %04x, and a "
             "boot-time update would program it again at every start\n",
             static_cast<unsigned>(version), static_cast<unsigned>(minimum_version),
             static_cast<unsigned>(minimum_version));
    }
}

void program_from_file(const char* path, std::int32_t minimum_version, program_mode mode) {
    load_image(path);
    connect_panel(minimum_version);
    const int blocks = blocks_to_program(image_length);
    const int held =
        minimum_version != 0 && !mode.skip_verify ? blocks_already_held(image_buffer, blocks) : 0;
    const int programmed = program_image(image_buffer, image_length, mode, held);
    exit_flash_mode();
    if (mode.only_differing) {
        say("%i blocks programmed, %i already held the image\n", programmed, blocks - programmed);
    }
    if (!mode.skip_verify && mode.ask_running) {
        confirm_running(minimum_version);
    }
}
