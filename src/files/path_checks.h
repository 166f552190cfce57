// Checks on the paths the operations are given: what an image or a dump may not be.
#pragma once

#include <string>

#include <sys/stat.h>

// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directory_of(const std::string& path);

// Ends the process with EXIT_FAILED when `path`, links followed, is the panel's line itself:
// a dump written there would reach the bootloader as packets, an image read there never ends.
void refuse_panel_line(const char* path);

// Ends the process with EXIT_FAILED when `link` (whose lstat is `link_status`) is another
// user's link in a world-writable sticky directory, which the kernel would not follow.
void refuse_others_link(const std::string& link, const struct stat& link_status);
