// Running the operation the command line names: the one dispatch, shared by main and by the
// whole-run fuzz target.
#pragma once

#include "cli/options.h"

// Applies the command line's settings (-t, -d) and runs its operation; returns when the
// operation has completed. Every failure ends the process where it is met.
void run_operation(const command_line& command);
