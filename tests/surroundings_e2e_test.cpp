// The tool as shells, init systems and operators start it: closed and broken standard
// streams, odd dump targets, and signals during a read-out.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
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
