// The read-out's output file: the dump is built aside and put in place of the target only
// once it is complete, so a failed read-out never destroys or half-writes a file.
#pragma once

#include <cstdint>
#include <span>

// Creates the file the dump is written to, beside the target, or opens the target itself when
// it is a device or a pipe. Ends the process with EXIT_FAILED when the target is the panel's
// line or another user's link in a shared directory, and with perror("Can't create file")
// when it cannot be created or replaced.
void create_dump_file(const char* target);

// Appends to the dump; ends the process with perror("Can't write file") on failure.
void write_dump(std::span<const std::uint8_t> bytes);

// Flushes the dump to disk and replaces the target with it.
void commit_dump_file();

// Removes a dump that was never put in place and closes what is open, as the end of the
// process would, and forgets the target: the next create_dump_file starts afresh.
void reset_dump_file();
