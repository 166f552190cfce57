// The read-out operation: the panel's whole flash into a file.
#pragma once

// Returns when the dump is in place and flash mode has been left; every failure ends the
// process and leaves the target as it was.
void read_flash_to_file(const char* path);
