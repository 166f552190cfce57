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

// The path `path` leads to, its symbolic links followed as the kernel would (refusing another
// user's link as refuse_others_link does), for a file to be replaced by a rename; empty when
// the links go round in a loop.
std::string resolve_links(std::string path);

// Whether `a` and `b` name the same file: the same name, or the same existing file.
bool same_file(const char* a, const char* b);
