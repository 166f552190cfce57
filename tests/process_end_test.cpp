// What is undone however the process ends: once at exit, once on a stop signal, never twice
// for one registration, and a stop signal ignored at start stays ignored.
#include "common/process_end.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

void say_undone() {
    const char text[] = "undone\n";
    static_cast<void>(write(STDERR_FILENO, text, sizeof text - 1) > 0);
}

} // namespace

TEST(process_end_DeathTest, the_undo_runs_once_however_the_process_ends) {
    const auto registered_twice_then = [](int signal_number) {
        at_process_end(say_undone);
        at_process_end(say_undone);
        if (signal_number != 0) {
            std::raise(signal_number);
        }
        std::exit(7);
    };
    EXPECT_EXIT(registered_twice_then(0), testing::ExitedWithCode(7), "^undone\n$");
    for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(registered_twice_then(stop), testing::KilledBySignal(stop), "^undone\n$")
            << stop;
    }
    const auto ignored_then_raised = [] {
        std::signal(SIGHUP, SIG_IGN);
        at_process_end(say_undone);
        std::raise(SIGHUP);
        std::exit(0);
    };
    EXPECT_EXIT(ignored_then_raised(), testing::ExitedWithCode(0), "^undone\n$")
        << "nohup's SIGHUP stays ignored: the run goes on to its normal end";
}
