// Sizes of the panel's flash and the exit statuses the tool reports; shared by the tool and
// panelsim.
#pragma once

constexpr int BLOCK_SIZE = 64;           // bytes per erase/write/read block
constexpr int FLASH_SIZE = 8192;         // bytes of flash, bootloader included
constexpr int APP_AREA_SIZE = 0x1E00;    // bytes programming may write (120 blocks)
constexpr int IMAGE_BUFFER_SIZE = 32768; // bytes of an image file read at most

constexpr int EXIT_DONE = 0;            // the operation completed
constexpr int EXIT_VERSION_CURRENT = 1; // panel firmware not older than -c
constexpr int EXIT_NO_SYNC = 2;         // bootloader did not synchronise
constexpr int EXIT_NO_PANEL = 3;        // panel unreachable or stopped answering
constexpr int EXIT_USAGE = 64;          // command-line error
constexpr int EXIT_FAILED = 255;        // file or verification failure (exit -1)
