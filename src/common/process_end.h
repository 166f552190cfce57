// What must be undone however the process ends: a normal end, a failure, or a stop signal
// from an operator or an init system.
#pragma once

#include <signal.h>

// Runs `undo` when the process ends through exit() and when SIGINT, SIGTERM or SIGHUP stops
// it; a stop signal that was ignored when the tool started stays ignored, as nohup wants.
// `undo` must be async-signal-safe and may run twice. Registering it again does nothing.
void at_process_end(void (*undo)());

// Holds the stop signals, so that state an undo reads is never seen half-changed; returns
// the mask to put back with sigprocmask(SIG_SETMASK, …).
sigset_t hold_stop_signals();
