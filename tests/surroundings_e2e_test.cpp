// The tool as shells, init systems and operators start it: closed and broken standard
// streams, odd dump targets, and signals during a read-out.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using panelsim::bytes;

namespace {

const bytes IMAGE(200, 0x3C);

// Whether any of the tool's messages went down the line.
bool carries_messages(const bytes& line) {
    const std::string text(line.begin(), line.end());
    for (const char* word : {"Flashmode", "Open data", "Program at", "Read ", "in use"}) {
        if (text.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

class surroundings : public e2e {
  protected:
    bool dump_holds_the_flash(const std::string& name) const {
        const auto flash = panel->flash();
        return read_file(path(name)) == bytes(flash.begin(), flash.end());
    }
    bool image_programmed() const {
        const auto flash = panel->flash();
        return std::equal(IMAGE.begin(), IMAGE.end(), flash.begin());
    }
    // Removes the hidden files in the test directory and says how many there were.
    int remove_hidden_files() const {
        int count = 0;
        for (const auto& name : list_dir(dir)) {
            count += name[0] == '.' && std::remove(path(name).c_str()) == 0;
        }
        return count;
    }
};

struct stream_case {
    const char* what;
    std::vector<std::string> args;
    stream in, out, err;
    bool locked;         // another program holds the port
    bool killed_waiting; // the panel never answers and the tool is killed after 2 s
    int status;
    std::string out_begins;
};

TEST_F(surroundings, standard_streams_never_become_the_port_or_the_dump_nor_end_the_run) {
    constexpr stream kept = stream::kept;
    constexpr stream closed = stream::closed;
    const stream_case cases[] = {
        {"-r, output closed", {"-r", "dump.bin"}, kept, closed, kept, false, false, 0, ""},
        {"-w, output closed", {"-w", "img.bin"}, kept, closed, kept, false, false, 0, ""},
        {"-r, all closed", {"-r", "dump.bin"}, closed, closed, closed, false, false, 0, ""},
        {"-w, output unread", {"-w", "img.bin"}, kept, stream::unread, kept, false, false, 0, ""},
        {"locked, error output closed", {"-w", "img.bin"}, kept, kept, closed, true, false, 3, ""},
        {"killed", {"-r", "dump.bin"}, kept, kept, kept, false, true, 137, "Enter Flashmode...\n"},
    };
    write_file(path("img.bin"), IMAGE);
    for (const auto& c : cases) {
        panelsim::config cfg;
        if (c.killed_waiting) {
            cfg.flash_mode_reply = {};
        }
        start_panel(cfg);
        const int holder =
            c.locked ? open(path(PANEL_LINK_NAME).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        ASSERT_TRUE(!c.locked || flock(holder, LOCK_EX | LOCK_NB) == 0);

        tool_setup setup;
        setup.in = c.in;
        setup.out = c.out;
        setup.err = c.err;
        setup.limit_s = c.killed_waiting ? 2 : 60;
        const auto r = run(c.args, setup);
        close(holder);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.rfind(c.out_begins, 0), 0U) << c.what << "\n" << r.out;
        const bytes line = panel->received();
        EXPECT_FALSE(carries_messages(line)) << c.what;
        if (c.locked) {
            EXPECT_TRUE(line.empty()) << c.what;
        } else if (c.status == 0) {
            EXPECT_TRUE(c.args[0] == "-r" ? dump_holds_the_flash("dump.bin") : image_programmed())
                << c.what;
        }
    }
}

struct path_case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string said;    // standard output and error of a refusal
    std::string dump_at; // where a dump lands; "": in the pipe on descriptor 3
};

TEST_F(surroundings, dump_targets_as_the_kernel_takes_them_and_refusals_before_contact) {
    std::string dots; // "./" 2043 times: paths of 4095 and 4096 bytes naming this directory
    for (int i = 0; i < 2043; ++i) {
        dots += "./";
    }
    const std::string line_refused = " is the panel's serial line, not a file\n";
    const std::string too_long = "Can't create file: File name too long\n";
    const path_case cases[] = {
        {"the panel's line", {"-r", PANEL_LINK_NAME}, 255, PANEL_LINK_NAME + line_refused, "-"},
        {"a link to it", {"-r", "line"}, 255, "line" + line_refused, "-"},
        {"it as the image", {"-w", "line"}, 255, "Open data file <line>\nline" + line_refused, "-"},
        {"a pipe by descriptor", {"-r", "/proc/self/fd/3"}, 0, "", ""},
        {"a name of 255 bytes", {"-r", std::string(255, 'd')}, 0, "", std::string(255, 'd')},
        {"a name of 256 bytes", {"-r", std::string(256, 'd')}, 255, too_long, "-"},
        {"a path of 4095 bytes", {"-r", dots + "dump1.bin"}, 0, "", "dump1.bin"},
        {"a path of 4096 bytes", {"-r", dots + "dump12.bin"}, 255, too_long, "-"},
        {"no name", {"-r", ""}, 255, "Can't create file: No such file or directory\n", "-"},
    };
    start_panel();
    ASSERT_EQ(symlink(PANEL_LINK_NAME, path("line").c_str()), 0);
    const auto flash = panel->flash();
    for (const auto& c : cases) {
        int pipe_ends[2];
        ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
        tool_setup setup;
        setup.descriptor_3 = pipe_ends[1];
        const std::size_t sent_before = panel->received().size();
        const auto r = run(c.args, setup);
        close(pipe_ends[1]);
        const bytes piped = read_file("/proc/self/fd/" + std::to_string(pipe_ends[0]));
        close(pipe_ends[0]);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.out + r.err, c.said) << c.what;
            EXPECT_EQ(panel->received().size(), sent_before) << c.what << ": nothing sent";
        } else {
            const bytes dump = c.dump_at.empty() ? piped : read_file(path(c.dump_at));
            EXPECT_EQ(dump, bytes(flash.begin(), flash.end())) << c.what;
        }
        EXPECT_EQ(remove_hidden_files(), 0) << c.what;
    }
}

struct link_case {
    uid_t directory_owner;
    uid_t link_owner;
    bool followed;
};

TEST_F(surroundings, links_in_a_shared_directory_are_followed_only_for_their_owners) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: chown gives the link, its directory and the old dump to "
                        "another user, which only root may do";
    }
    constexpr uid_t OTHER = 4321;
    const link_case cases[] = {{0, OTHER, false}, {OTHER, OTHER, true}, {0, 0, true}};
    start_panel();
    const auto flash = panel->flash();
    ASSERT_EQ(mkdir(path("shared").c_str(), 0700), 0);
    ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
    ASSERT_EQ(symlink("../secret", path("shared/dump.bin").c_str()), 0);
    for (const auto& c : cases) {
        write_file(path("secret"), {'k', 'e', 'e', 'p'});
        ASSERT_EQ(chown(path("secret").c_str(), OTHER, OTHER + 1), 0);
        ASSERT_EQ(chmod(path("secret").c_str(), 0640), 0);
        ASSERT_EQ(chown(path("shared").c_str(), c.directory_owner, c.directory_owner), 0);
        ASSERT_EQ(lchown(path("shared/dump.bin").c_str(), c.link_owner, c.link_owner), 0);
        const std::size_t sent_before = panel->received().size();
        const auto r = run({"-r", "shared/dump.bin"});
        struct stat status {};
        ASSERT_EQ(stat(path("secret").c_str(), &status), 0);
        if (!c.followed) {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, "shared/dump.bin is another user's link in a shared directory, "
                             "not followed\n");
            EXPECT_EQ(read_file(path("secret")), (bytes{'k', 'e', 'e', 'p'}));
            EXPECT_EQ(panel->received().size(), sent_before);
            continue;
        }
        EXPECT_EQ(r.status, 0) << c.link_owner << r.out << r.err;
        EXPECT_EQ(read_file(path("secret")), bytes(flash.begin(), flash.end()));
        EXPECT_EQ(status.st_uid, OTHER) << "a replaced dump keeps its owner";
        EXPECT_EQ(status.st_gid, OTHER + 1);
        EXPECT_EQ(status.st_mode & 0777, 0640U);
    }
}

struct interruption {
    const char* what;
    const char* program;
    int signal; // 0: the run fails by itself, the panel having stopped answering
    int status;
    bool hidden_file_left;
};

TEST_F(surroundings, a_stopped_read_out_leaves_the_old_dump_and_no_hidden_file) {
    const char* named = PANELFLASH_LOCAL_NAMED; // as on vfat or NFS
    const interruption cases[] = {
        {"failed", named, 0, 3, false},
        {"SIGTERM", named, SIGTERM, 128 + SIGTERM, false},
        {"SIGINT", named, SIGINT, 128 + SIGINT, false},
        {"SIGHUP", named, SIGHUP, 128 + SIGHUP, false},
        {"SIGTERM, unnamed file", PANELFLASH_LOCAL, SIGTERM, 128 + SIGTERM, false},
        {"SIGKILL, which no process outlives", named, SIGKILL, 128 + SIGKILL, true},
    };
    panelsim::config cfg;
    cfg.stop_after_packets = 5; // then the tool waits for the second read of block 80
    for (const auto& c : cases) {
        start_panel(cfg);
        write_file(path("dump.bin"), {9, 9});
        tool_setup setup;
        setup.program = c.program;
        setup.signal = c.signal;
        setup.signal_after = "Read 80   \r";
        const auto r = run({"-r", "dump.bin"}, setup);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(read_file(path("dump.bin")), (bytes{9, 9})) << c.what;
        EXPECT_EQ(remove_hidden_files(), c.hidden_file_left ? 1 : 0) << c.what;
    }
}
