// The compare operation (-C): whether the panel holds an image, without programming it.
#pragma once

// Loads the image as -w does, reads each block it covers and compares; returns when every
// block holds the image, ends the process with EXIT_DIFFERS when any does not. Nothing is
// erased or written.
void compare_with_file(const char* path);
