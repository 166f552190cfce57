// Sizes of the panel's flash, the line's byte time and the exit statuses the tool reports;
// shared by the tool and panelsim.
#pragma once

// The line's pace is the same at both of its ends, so the tool and panelsim share it; the
// protocol's bytes they keep apart on purpose (see sim/panel_machine.cpp). Rounded up from
// 86805.6 ns, so that a wait is never short and panelsim never hands a byte over early.
constexpr long BYTE_TIME_NS = 86806; // ns a byte takes on the line: 10 bits at 115200 baud

constexpr int BLOCK_SIZE = 64;           // bytes per erase/write/read block
constexpr int FLASH_SIZE = 8192;         // bytes of flash, bootloader included
constexpr int APP_AREA_SIZE = 0x1E00;    // bytes programming may write (120 blocks)
constexpr int IMAGE_BUFFER_SIZE = 32768; // bytes of an image at most, of a raw file read at most
// A whole image as Intel HEX is some 92 KB, as S3 records of one byte each 576 KiB.
constexpr int RECORD_FILE_SIZE = 1048576; // bytes an Intel HEX or S-record file may have

constexpr int EXIT_DONE = 0;            // the operation completed
constexpr int EXIT_VERSION_CURRENT = 1; // panel firmware not older than -c
constexpr int EXIT_DIFFERS = 1;         // -C: the panel does not hold the image
constexpr int EXIT_NO_SYNC = 2;         // bootloader did not synchronise
constexpr int EXIT_NO_PANEL = 3;        // panel unreachable or stopped answering
constexpr int EXIT_NOT_RUNNING = 4;     // programmed, but the panel runs no firmware, or an older
constexpr int EXIT_USAGE = 64;          // command-line error
constexpr int EXIT_FAILED = 255;        // file or verification failure (exit -1)
