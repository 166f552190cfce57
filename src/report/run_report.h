// What a run did and met, counted as it goes, for the account written at its end (--json).
#pragma once

// How the panel came into flash mode.
enum class entry_mode { none, from_firmware, from_bootloader };

// All zero at the start of the process: nothing asked, entered, loaded or counted yet.
struct run_report {
    bool version_before_known; // the firmware answered a version before anything was changed
    int version_before;
    bool version_after_known; // the firmware answered a version after programming
    int version_after;
    entry_mode entered;
    int blocks_programmed;   // erased and written, the first time
    int blocks_held;         // already held the image, left alone
    int blocks_reprogrammed; // programmed again after a read-back that differed
    int blocks_differing;    // -C: blocks that do not hold the image
    int reads_repeated;      // block reads beyond the first that did not settle the block
    int answers_lost;        // answers that did not come, made up for
    int reconnections;       // connection sequences gone through again
};

extern run_report report;

// Forgets everything counted, as at the start of the process.
void reset_report();
