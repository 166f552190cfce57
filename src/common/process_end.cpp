// What must be undone however the process ends: one list, run by exit() and by the handler
// of the stop signals, so that the dump and the line settings are cared for by one rule.
#include "common/process_end.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP}; // how operators and init systems stop
constexpr int MAX_UNDOS = 4;                              // the dump and the line, with room

static void (*undos[MAX_UNDOS])() = {};
static volatile std::sig_atomic_t undo_count = 0;
static bool handlers_set = false;

static void run_undos() {
    for (int i = undo_count - 1; i >= 0; --i) {
        undos[i]();
    }
}

// Only async-signal-safe calls: the undos, then the signal takes its usual course.
static void undo_and_stop(int signal_number) {
    run_undos();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

static void set_handlers() {
    handlers_set = true;
    std::atexit(run_undos);
    for (const int signal_number : STOP_SIGNALS) {
        struct sigaction current {};
        sigaction(signal_number, nullptr, &current);
        if (current.sa_handler != SIG_IGN) {
            struct sigaction stop {};
            stop.sa_handler = undo_and_stop;
            sigemptyset(&stop.sa_mask);
            sigaction(signal_number, &stop, nullptr);
        }
    }
}

void at_process_end(void (*undo)()) {
    if (std::find(undos, undos + undo_count, undo) != undos + undo_count ||
        undo_count == MAX_UNDOS) {
        return;
    }
    if (!handlers_set) {
        set_handlers();
    }
    const sigset_t previous = hold_stop_signals();
    undos[undo_count] = undo;
    undo_count = undo_count + 1;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

sigset_t hold_stop_signals() {
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    for (const int signal_number : STOP_SIGNALS) {
        sigaddset(&stops, signal_number);
    }
    sigprocmask(SIG_BLOCK, &stops, &previous);
    return previous;
}
