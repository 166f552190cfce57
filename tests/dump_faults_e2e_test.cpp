// What only a crash, a full disk, a failing call or a second name of a device would show, end
// to end: the order of the calls that make a dump durable, the failures of each, the panel's
// line under another name, stop signals the caller ignores, the trace's empty reads, and a
// driver's low-latency flags put back.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using panelsim::bytes;

namespace {

const std::string SHIM = LIBC_SHIM; // empty where it cannot be preloaded
const std::string NO_SHIM =
    std::string("no call-recording library can be preloaded: ") + LIBC_SHIM_UNAVAILABLE;

// The tool with the shim preloaded, logging to `log` and failing `call` ("" for none).
// A sanitizer runtime must come first among the loaded libraries unless told otherwise.
tool_setup with_shim(const std::string& log, const std::string& call) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    tool_setup setup;
    setup.environment = {
        "LD_PRELOAD=" + SHIM, "PANELFLASH_SHIM_LOG=" + log, "PANELFLASH_SHIM_FAIL=" + call,
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    return setup;
}

// Position in the shim's log of the first of `calls` made on the file `inode`; -1 if none.
int first_call(const std::string& log, std::initializer_list<std::string> calls, ino_t inode) {
    std::ifstream in(log);
    std::string call;
    unsigned long long on = 0;
    for (int at = 0; in >> call >> on; ++at) {
        if (on == inode && std::find(calls.begin(), calls.end(), call) != calls.end()) {
            return at;
        }
    }
    return -1;
}

// The reads that found nothing before a trace line's bytes: its "(after N empty reads)", or 0.
int empty_reads_before(const std::string& line) {
    const auto at = line.find(" (after ");
    return at == std::string::npos ? 0 : std::stoi(line.substr(at + 8));
}

} // namespace

class dump_faults : public e2e {
  protected:
    temp_dir logs; // outside the test directory, whose listing the tests check
};

TEST_F(dump_faults, the_dump_is_synced_before_it_is_put_in_place) {
    if (SHIM.empty()) {
        GTEST_SKIP() << NO_SHIM;
    }
    start_panel();
    const std::pair<const char*, const char*> builds[] = {{PANELFLASH_LOCAL, "unnamed.log"},
                                                          {PANELFLASH_LOCAL_NAMED, "named.log"}};
    for (const auto& [program, log_name] : builds) {
        write_file(path("dump.bin"), {9, 9});
        const std::string log = logs.file(log_name);
        tool_setup setup = with_shim(log, "");
        setup.program = program;
        const auto r = run({"-r", "dump.bin"}, setup);
        ASSERT_EQ(r.status, 0) << program << "\n" << r.out << r.err;
        struct stat dump {};
        ASSERT_EQ(stat(path("dump.bin").c_str(), &dump), 0);
        const int synced = first_call(log, {"fsync", "fdatasync"}, dump.st_ino);
        const int placed = first_call(log, {"linkat", "renameat", "rename"}, dump.st_ino);
        EXPECT_GE(placed, 0) << program << ": the dump was never linked or renamed";
        EXPECT_GE(synced, 0) << program << ": the dump was never synced";
        EXPECT_LT(synced, placed) << program << ": synced after it was put in place";
    }
}

struct write_fault {
    const char* what;
    const char* program;
    const char* target;
    const char* failing_call; // made to fail by the shim; nullptr: no shim
    std::string err;
};

TEST_F(dump_faults, a_dump_that_cannot_be_written_keeps_the_old_one_and_no_hidden_file) {
    const char* unnamed = PANELFLASH_LOCAL;
    const char* named = PANELFLASH_LOCAL_NAMED; // as on vfat or NFS
    const std::string io_error = "Can't write file: Input/output error\n";
    const write_fault cases[] = {
        {"a full device", unnamed, "/dev/full", nullptr,
         "Can't write file: No space left on device\n"},
        {"sync fails", unnamed, "dump.bin", "fsync", io_error},
        {"sync fails, named", named, "dump.bin", "fsync", io_error},
        {"link fails", unnamed, "dump.bin", "linkat", io_error},
        {"rename fails", unnamed, "dump.bin", "renameat", io_error},
        {"rename fails, named", named, "dump.bin", "renameat", io_error},
    };
    start_panel();
    for (const auto& c : cases) {
        if (c.failing_call != nullptr && SHIM.empty()) {
            GTEST_SKIP() << NO_SHIM;
        }
        write_file(path("dump.bin"), {9, 9});
        tool_setup setup = c.failing_call ? with_shim("/dev/null", c.failing_call) : tool_setup{};
        setup.program = c.program;
        const auto r = run({"-r", c.target}, setup);
        EXPECT_EQ(r.status, 255) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(read_file(path("dump.bin")), (bytes{9, 9})) << c.what;
        EXPECT_EQ(list_dir(dir).size(), 2U) << c.what << ": only the link and the old dump";
    }
}

TEST_F(dump_faults, uncreatable_targets_are_refused_before_the_panel_is_contacted) {
    start_panel();
    ASSERT_EQ(symlink("loop", path("loop").c_str()), 0);
    const int socket_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path("socket").copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::pair<const char*, std::string> cases[] = {
        {"loop", "Can't create file: Too many levels of symbolic links\n"},
        {"newdir/", "Can't create file: Is a directory\n"},
        {"socket", "Can't create file: No such device or address\n"},
    };
    for (const auto& [target, err] : cases) {
        const auto r = run({"-r", target});
        EXPECT_EQ(r.status, 255) << target;
        EXPECT_EQ(r.err, err) << target;
    }
    close(socket_fd);
    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(dump_faults, a_port_that_cannot_be_locked_or_configured_ends_with_status_3) {
    if (SHIM.empty()) {
        GTEST_SKIP() << NO_SHIM;
    }
    const std::pair<const char*, std::string> cases[] = {
        {"flock", std::string("Can't lock ") + PANEL_LINK_NAME + ": Input/output error\n"},
        {"tcsetattr", std::string("Can't configure ") + PANEL_LINK_NAME + ": Input/output error\n"},
        {"tcflush", std::string("Can't configure ") + PANEL_LINK_NAME + ": Input/output error\n"},
    };
    start_panel();
    for (const auto& [call, err] : cases) {
        const auto r = run({"-r", "dump.bin"}, with_shim("/dev/null", call));
        EXPECT_EQ(r.status, 3) << call;
        EXPECT_EQ(r.err, err) << call;
        EXPECT_FALSE(file_exists(path("dump.bin"))) << call;
    }
    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(dump_faults, another_node_of_the_panels_device_is_refused_as_image_and_as_dump) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to mknod a second node of the panel's device";
    }
    start_panel();
    struct stat line {};
    ASSERT_EQ(stat(panel->slave_path().c_str(), &line), 0);
    if (mknod(path("node").c_str(), S_IFCHR | 0600, line.st_rdev) != 0) {
        GTEST_SKIP() << "needs root to mknod, with the capability to make device nodes";
    }
    const std::string refused = "node is the panel's serial line, not a file\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-r", "node"}, refused},
        {{"-w", "node"}, "Open data file <node>\n" + refused},
    };
    for (const auto& [args, said] : cases) {
        tool_setup setup;
        setup.limit_s = 10; // an image read from the line would wait for it
        const auto r = run(args, setup);
        EXPECT_EQ(r.status, 255) << args[0];
        EXPECT_EQ(r.out + r.err, said) << args[0];
    }
    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(dump_faults, a_stop_signal_ignored_at_start_stays_ignored) {
    panelsim::config cfg;
    cfg.line_timing = true; // a read-out of over a second: the signal comes mid-read
    start_panel(cfg);
    const auto flash = panel->flash();
    for (const auto& [name, number] :
         {std::pair{"HUP", SIGHUP}, {"INT", SIGINT}, {"TERM", SIGTERM}}) {
        tool_setup setup;
        setup.native = true;
        setup.program = "/bin/sh"; // as nohup, or trap '' in a script, starts the tool
        setup.signal = number;
        setup.signal_after = "Read 140   \r";
        const auto r = run({"-c", std::string("trap '' ") + name + "; exec \"$@\"", "sh",
                            tool_command(dir), "-r", "dump.bin"},
                           setup);
        EXPECT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
        EXPECT_EQ(read_file(path("dump.bin")), bytes(flash.begin(), flash.end())) << name;
        std::remove(path("dump.bin").c_str());
    }
}

// An erase's acknowledgement comes only once the flash is erased, 40 ms after the packet: the
// tool's first read after the packet finds nothing, however busy the machine. Each sync byte
// is followed by one read, so the answer counts as many empty reads as went unanswered.
TEST_F(dump_faults, the_trace_counts_the_empty_reads_before_a_late_answer) {
    panelsim::config cfg;
    cfg.line_timing = true;
    cfg.erase_ms = 40;
    start_panel(cfg);
    write_file(path("image.bin"), bytes(128, 0x5A)); // two blocks
    const auto r = run({"-t", "-w", "image.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    int acknowledgements = 0;
    int counted = 0;
    bool after_erase = false;
    int syncs = 0;
    int before_sync_answer = -1;
    std::istringstream trace(r.err);
    for (std::string line; std::getline(trace, line);) {
        const auto mark = line.find_first_of("<>-");
        syncs += before_sync_answer < 0 && line.compare(mark, 4, "> aa") == 0;
        if (syncs > 0 && before_sync_answer < 0 && line[mark] == '<') {
            before_sync_answer = empty_reads_before(line);
        }
        if (after_erase && line[mark] == '<') {
            ++acknowledgements;
            counted += line.find(" (after ") != std::string::npos;
        }
        after_erase = line.compare(mark, 5, "> 02 ") == 0;
    }
    EXPECT_EQ(acknowledgements, 2) << r.err;
    EXPECT_EQ(counted, 2) << r.err;
    EXPECT_EQ(before_sync_answer, syncs - 1) << r.err;
}

TEST_F(dump_faults, a_replaced_dump_keeps_its_mode_also_when_its_owner_cannot_be_kept) {
    const std::pair<const char*, const char*> cases[] = {
        {PANELFLASH_LOCAL, nullptr},
        {PANELFLASH_LOCAL_NAMED, nullptr},
        {PANELFLASH_LOCAL, "fchown"}, // the old dump is another user's: it cannot be given
    };
    start_panel();
    for (const auto& [program, failing_call] : cases) {
        if (failing_call != nullptr && SHIM.empty()) {
            GTEST_SKIP() << NO_SHIM;
        }
        write_file(path("dump.bin"), {9, 9});
        ASSERT_EQ(chmod(path("dump.bin").c_str(), 0640), 0);
        tool_setup setup = failing_call ? with_shim("/dev/null", failing_call) : tool_setup{};
        setup.program = program;
        const auto r = run({"-r", "dump.bin"}, setup);
        ASSERT_EQ(r.status, 0) << program << "\n" << r.out << r.err;
        struct stat status {};
        ASSERT_EQ(stat(path("dump.bin").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0640U) << program;
    }
}

// A driver with a low-latency mode (a UART, a USB adapter) has it for the run and its old
// flags back however the run ends, since the driver keeps them after the port is closed; a
// driver that has it already, or refuses it, is left alone.
TEST_F(dump_faults, low_latency_is_set_for_the_run_and_undone_however_it_ends) {
    if (SHIM.empty()) {
        GTEST_SKIP() << NO_SHIM;
    }
    panelsim::config hangs_up;
    hangs_up.hang_up_on_flash_request = true;
    struct way_out {
        const char* what;
        const char* flags_before; // hex; ASYNC_LOW_LATENCY is 0x2000
        panelsim::config cfg;
        int signal;
        int status;
        std::string settings; // the flags each TIOCSSERIAL asked for, in order
        std::string note;
        const char* refused = ""; // "TIOCSSERIAL": the driver refuses the flag
    };
    const std::string set_and_undone = "TIOCSSERIAL 2010\nTIOCSSERIAL 10\n";
    const way_out cases[] = {
        {"completed", "10", {}, 0, 0, set_and_undone, "- low latency set"},
        {"failed", "10", hangs_up, 0, 3, set_and_undone, "- low latency set"},
        {"SIGTERM", "10", {}, SIGTERM, 128 + SIGTERM, set_and_undone, "- low latency set"},
        {"SIGHUP", "10", {}, SIGHUP, 128 + SIGHUP, set_and_undone, "- low latency set"},
        {"already set", "2010", hangs_up, 0, 3, "", "- low latency already set"},
        {"refused", "10", hangs_up, 0, 3, "TIOCSSERIAL 2010\n",
         "- low latency refused by the driver", "TIOCSSERIAL"},
    };
    for (const auto& c : cases) {
        start_panel(c.cfg);
        const std::string log = logs.file(std::string("serial-") + c.what);
        tool_setup setup = with_shim(log, c.refused);
        setup.environment.push_back(std::string("PANELFLASH_SHIM_SERIAL=") + c.flags_before);
        setup.signal = c.signal;
        setup.signal_after = "Read 140   \r";
        const auto r = run({"-t", "-r", "dump.bin"}, setup);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
        std::ifstream in(log);
        std::string settings;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("TIOCSSERIAL ", 0) == 0) {
                settings += line + "\n";
            }
        }
        EXPECT_EQ(settings, c.settings) << c.what;
        EXPECT_NE(r.err.find(c.note + "\n"), std::string::npos) << c.what;
    }
}

// An unplugged USB adapter fails every read with EIO or ENODEV: the line has ended, so no
// wait sleeps through an answer, and the run ends as on a hung-up line: the discarding of
// stale input ends at its first read, and the flash-mode reply's read gives up after its 400.
TEST_F(dump_faults, reads_failing_as_on_an_unplugged_adapter_end_the_run_promptly) {
    if (SHIM.empty()) {
        GTEST_SKIP() << NO_SHIM;
    }
    start_panel();
    for (const int error : {EIO, ENODEV}) {
        tool_setup setup = with_shim(logs.file("unplugged"), "read");
        setup.environment.push_back("PANELFLASH_SHIM_ERRNO=" + std::to_string(error));
        const auto r = run({"-t", "-r", "dump.bin"}, setup);
        EXPECT_EQ(r.status, 3) << error;
        EXPECT_EQ(count_of(r.out, "Unknown response 0 0, is FP really connected?\n"), 1) << r.out;
        EXPECT_EQ(count_of(r.err, " 0 of 2 bytes (after 401 empty reads)\n"), 1) << r.err;
        EXPECT_LT(r.seconds, 2.0) << "2 x 200 ms, and no wait on a line that has ended";
        EXPECT_FALSE(file_exists(path("dump.bin")));
    }
}
