// What a run did and met, kept as it goes, and the account of it that --json writes at its
// end: one JSON document, complete or not at all, for scripts and fleets to read.
#pragma once

#include <string>

// How the panel came into flash mode.
enum class entry_mode { none, from_firmware, from_bootloader };

constexpr int MESSAGE_SIZE = 512; // bytes kept of the message that ended the run

// All zero at the start of the process: nothing run, asked, entered, loaded or counted yet.
struct run_report {
    const char* operation;     // "program", "read_out", "compare", "version"; null: none ran
    const char* path;          // the image, or the dump of a read-out
    const char* device;        // the panel's line
    const char* image_format;  // "raw", "intel_hex", "s_record"; null: no image loaded
    int image_length;          // bytes of the image loaded
    bool version_before_known; // the firmware answered a version before anything was changed
    int version_before;
    bool version_after_known; // the firmware answered a version after programming
    int version_after;
    entry_mode entered;
    int blocks_programmed;      // erased and written, the first time
    int blocks_held;            // already held the image, left alone
    int blocks_reprogrammed;    // programmed again after a read-back that differed
    int blocks_differing;       // -C: blocks that do not hold the image
    int reads_repeated;         // block reads beyond the first that did not settle the block
    int answers_lost;           // answers that did not come, made up for
    int reconnections;          // connection sequences gone through again
    char message[MESSAGE_SIZE]; // the run's last outcome or failure line, without its newline
};

extern run_report report;

// Forgets everything kept, as at the start of the process.
void reset_report();

// Keeps the first line of `text`, leading newlines left out, as the run's message.
void keep_message(const char* text);

// Prints the printf-style line on standard output, as the outcome of a step, and keeps it as
// the run's message.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// --- run_account.cpp ---

// "panelflash 1.0", and the build's git description where it had one.
const char* tool_version();

// Where the account is written at the end of the run (null: nowhere): a file (links followed),
// an earlier account there removed at once and the new one renamed into place once complete,
// or a descriptor named /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N. Ends the process
// when it is the operation's own file (EXIT_USAGE), the panel's line, another user's link in a
// shared directory or a loop of links (EXIT_FAILED). Called before the operation.
void prepare_account(const char* path, const char* operation_path);

// The account of the run as it ends with `status`: one JSON object, one member a line.
// `line_seconds` < 0: the line was never opened.
std::string account_json(int status, double line_seconds);

// Writes the account where prepare_account said, whole or not at all: a file beside its
// target under a temporary name, then renamed into place; a descriptor, device or pipe as it
// stands. A failure is said on standard error and leaves the exit status alone.
void write_account(int status);
