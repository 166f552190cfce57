// The line a run uses (-d), a dump on standard output, and a run started while the last
// run's answer is still on the line.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using panelsim::bytes;

class port : public e2e {
  protected:
    bytes flash() const {
        const auto f = panel->flash();
        return {f.begin(), f.end()};
    }
};

TEST_F(port, d_chooses_the_line_before_the_operation_and_everything_names_it) {
    start_panel();
    tool_setup installed;
    installed.program = PANELFLASH_INSTALLED; // opens /dev/frontpanel unless told otherwise
    // The -d after the operation is never read.
    auto r = run({"-d", PANEL_LINK_NAME, "-r", "dump.bin", "-d", "missing"}, installed);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(path("dump.bin")), flash());

    ASSERT_EQ(symlink(PANEL_LINK_NAME, path("bench0").c_str()), 0);
    struct refusal {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::string not_a_file = " is the panel's serial line, not a file\n";
    const refusal cases[] = {
        {{"-d", "missing", "-r", "dump.bin"},
         3,
         "",
         "Can't open missing: No such file or directory\n"},
        {{"-d", "bench0", "-r", PANEL_LINK_NAME}, 255, PANEL_LINK_NAME + not_a_file, ""},
        {{"-d", "bench0", "-w", PANEL_LINK_NAME},
         255,
         std::string("Open data file <") + PANEL_LINK_NAME + ">\n" + PANEL_LINK_NAME + not_a_file,
         ""},
        {{"-d", "bench0", "-r", "dump.bin"}, 3, "", "bench0 is in use by another program\n"},
    };
    const int holder = open(path(PANEL_LINK_NAME).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    for (const auto& c : cases) {
        r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
    close(holder);
}

// Whichever name leads to standard output's file or pipe, it holds the dump alone: the
// messages go to standard error, and a file is right by design, not by being overwritten.
TEST_F(port, a_dump_on_standard_output_is_only_the_dump) {
    start_panel();
    const std::string tool = tool_command(dir);
    const std::string dump_only = "Enter Flashmode...\nAccepted (1)\nSync\nSynced\n";
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        tool_setup through_shell;
        through_shell.program = "/bin/sh";
        through_shell.native = true;
        auto r = run({"-r", name}); // the harness reads a pipe
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(bytes(r.out.begin(), r.out.end()), flash()) << name;
        EXPECT_EQ(r.err.rfind(dump_only, 0), 0U) << name << r.err;
        EXPECT_NE(r.err.find("Exit Flashmode\n"), std::string::npos) << name;

        // Appending would keep whatever reached the file before the dump; messages written
        // there would vanish with the old file when the dump replaces it.
        r = run({"-c", tool + " -r " + name + " >> appended.bin"}, through_shell);
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(read_file(path("appended.bin")), flash()) << name;
        EXPECT_EQ(r.err.rfind(dump_only, 0), 0U) << name << r.err;
        unlink(path("appended.bin").c_str());
    }
}

// Standard output that is another file than the dump keeps the messages: a log beside the
// dump, or another file system's file with the dump's inode number.
TEST_F(port, messages_stay_on_standard_output_that_is_not_the_dump) {
    panelsim::config rejecting;
    rejecting.flash_mode_reply = {0x5A, 0xFF}; // the run ends at once, its messages said
    const std::string logged = tool_command(dir) + " -r $1 > $2; s=$?; cat $2; exit $s";
    // In a mount namespace of its own, on fresh tmpfs mounts, which number their files alike;
    // 77: no right to mount, or numbers not alike.
    const std::string mounted =
        "unshare -m true 2>/dev/null || exit 77; exec unshare -m sh -c 'mkdir a b && "
        "mount -t tmpfs none a && mount -t tmpfs none b && : > $1 && : > $2 && "
        "[ $(stat -c %i $1) = $(stat -c %i $2) ] || exit 77; ";
    const std::vector<std::string> cases[] = {
        {"-c", ": > $1; " + logged, "sh", "dump.bin", "log.txt"},
        {"-c", mounted + logged + "' sh \"$@\"", "sh", "a/dump.bin", "b/log.txt"},
    };
    tool_setup through_shell;
    through_shell.program = "/bin/sh";
    through_shell.native = true;
    for (const auto& args : cases) {
        start_panel(rejecting);
        const auto r = run(args, through_shell);
        if (r.status == 77) {
            GTEST_SKIP() << "needs root, the right to mount, and tmpfs numbering per mount";
        }
        EXPECT_EQ(r.status, 3) << args.back();
        EXPECT_EQ(r.out, "Enter Flashmode...\nEnter Flashmode...\nEnter Flashmode...\n"
                         "Unknown response 5a ff, is FP really connected?\n");
        EXPECT_EQ(r.err, "") << args.back();
    }
}

// A script that retries after a time-out starts the next run at once, while the panel is
// still answering the killed run's last packet.
TEST_F(port, a_run_started_as_the_last_one_is_killed_mid_block_succeeds) {
    panelsim::config cfg;
    cfg.line_timing = true;
    start_panel(cfg);
    const bytes image(0x500, 0x3C); // 20 blocks
    write_file(path("image.bin"), image);
    struct kill_case {
        std::vector<std::string> args;
        const char* after;
        int signal;
    };
    const kill_case cases[] = {
        {{"-r", "dump.bin"}, "Read 400   \r", SIGTERM},
        {{"-r", "dump.bin"}, "Read 1000   \r", SIGINT},
        {{"-w", "image.bin"}, "Program at 200   \r", SIGTERM},
        {{"-w", "image.bin"}, "Program at 400   \r", SIGHUP},
    };
    for (const auto& c : cases) {
        tool_setup killed;
        killed.signal = c.signal;
        killed.signal_after = c.after;
        EXPECT_EQ(run(c.args, killed).status, 128 + c.signal) << c.after;
        const auto again = run(c.args);
        EXPECT_EQ(again.status, 0) << c.after << "\n" << again.out << again.err;
    }
    const bytes programmed = flash();
    EXPECT_EQ(bytes(programmed.begin(), programmed.begin() + 0x500), image);
}
