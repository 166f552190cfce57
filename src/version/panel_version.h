// The version operation (-i): the running firmware's version, without flash mode.
#pragma once

// Asks the running firmware for its version and prints it, never requesting flash mode;
// ends the process with EXIT_NO_PANEL when no version reply comes.
void print_panel_version();
