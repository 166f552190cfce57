// panelsim's command line, run as the program a user starts: its options, its help, its
// usage errors, and a session served until SIGTERM.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <unistd.h>

using panelsim::bytes;

namespace {

tool_setup panelsim_program(int limit_s) {
    tool_setup setup;
    setup.program = PANELSIM;
    setup.limit_s = limit_s;
    return setup;
}

// The process working in `directory`, once the tool's runs there have ended: panelsim, or
// the emulator running it.
pid_t process_in(const std::string& directory) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code unreadable;
        const auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", unreadable);
        if (!unreadable && cwd == std::filesystem::canonical(directory) &&
            entry.path().filename() != std::to_string(getpid())) {
            return std::stoi(entry.path().filename());
        }
    }
    return -1;
}

} // namespace

class panelsim_cli : public e2e {};

struct usage_case {
    std::vector<std::string> args;
    int status;
    std::string out_begins;
    std::string err_begins;
};

TEST_F(panelsim_cli, help_and_usage_errors) {
    const std::string usage = "usage: panelsim [options]\n";
    const usage_case cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"--version", "10000"}, 64, "", "panelsim: bad value for --version: 10000\n" + usage},
        {{"--erase-ms", "-1"}, 64, "", "panelsim: bad value for --erase-ms: -1\n" + usage},
        {{"--fifo", "0"}, 64, "", "panelsim: bad value for --fifo: 0\n" + usage},
        {{"--reply", "5af"}, 64, "", "panelsim: bad hex bytes for --reply: 5af\n" + usage},
        {{"--noise", "zz"}, 64, "", "panelsim: bad value for --noise: zz\n" + usage},
        {{"--fault-block", "1fc1"},
         64,
         "",
         "panelsim: bad value for --fault-block: 1fc1\n" + usage},
        {{"--bit-errors", "2"}, 64, "", "panelsim: bad value for --bit-errors: 2\n" + usage},
        {{"--corrupt", "answer:3"},
         64,
         "",
         "panelsim: bad value for --corrupt: answer:3\n" + usage},
        {{"--corrupt", "reply:0:1"},
         64,
         "",
         "panelsim: bad value for --corrupt: reply:0:1\n" + usage},
        {{"extra"}, 64, "", "panelsim: unexpected argument: extra\n" + usage},
        {{"--bogus"}, 64, "", ""},
    };
    for (const auto& c : cases) {
        const auto r = run(c.args, panelsim_program(10));
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out.rfind(c.out_begins, 0), 0U) << c.args[0] << "\n" << r.out;
        EXPECT_EQ(r.err.rfind(c.err_begins, 0), 0U) << c.args[0] << "\n" << r.err;
        EXPECT_EQ(count_of(r.out + r.err, usage), 1) << c.args[0];
    }
    // Every option the help lists is taken, the help ending the run after them.
    const auto r = run({"--link",
                        "x",
                        "--flash",
                        "f.bin",
                        "--version",
                        "0104",
                        "--version-reply",
                        "none",
                        "--bootloader",
                        "--reply",
                        "5afd",
                        "--no-sync",
                        "--sync-bytes",
                        "2",
                        "--line",
                        "--erase-ms",
                        "2.5",
                        "--write-ms",
                        "3",
                        "--fifo",
                        "1",
                        "--report",
                        "--stop-after",
                        "9",
                        "--hang-up-after",
                        "9",
                        "--hang-up-on-request",
                        "--noise",
                        "1311",
                        "--fault-block",
                        "40",
                        "--fault-reads",
                        "2",
                        "--fault-corrupt",
                        "--fault-short",
                        "10",
                        "--bit-errors",
                        "1e-5",
                        "--seed",
                        "3",
                        "--corrupt",
                        "packet:4:2:40",
                        "--help"},
                       panelsim_program(10));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir).size(), 0U) << "nothing served";
}

TEST_F(panelsim_cli, serves_its_flash_file_and_firmware_version_until_sigterm) {
    bytes flash(8192);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>(i * 7);
    }
    write_file(path("panel.bin"), flash);
    const bytes image = with_version(bytes(200, 0x3C), 0x0105);
    write_file(path("image.bin"), image);

    tool_run served;
    std::thread panelsim([&] {
        served = run(
            {"--link", PANEL_LINK_NAME, "--version", "0104", "--flash", "panel.bin", "--report"},
            panelsim_program(60));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!file_exists(path(PANEL_LINK_NAME)) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto version = run({"-i"});
    const auto programmed = run({"-c", "105", "-w", "image.bin"});
    const pid_t server = process_in(dir);
    ASSERT_GT(server, 0);
    kill(server, SIGTERM);
    panelsim.join();

    EXPECT_EQ(version.out, "Get firmware version...\nFrontpanel version 0104\n");
    EXPECT_EQ(programmed.status, 0) << programmed.out << programmed.err;
    EXPECT_EQ(served.status, 0) << served.err;
    EXPECT_EQ(served.out.rfind("panelsim: panel on /dev/", 0), 0U) << served.out;
    EXPECT_NE(served.out.find(std::string(", linked at ") + PANEL_LINK_NAME + "\nsession: host "),
              std::string::npos)
        << served.out;
    EXPECT_FALSE(file_exists(path(PANEL_LINK_NAME))) << "the link goes with panelsim";
    const bytes saved = read_file(path("panel.bin"));
    ASSERT_EQ(saved.size(), 8192U);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin())) << "the image programmed";
    EXPECT_TRUE(std::equal(flash.begin() + 0x1E00, flash.end(), saved.begin() + 0x1E00))
        << "the bootloader area as loaded";
}
