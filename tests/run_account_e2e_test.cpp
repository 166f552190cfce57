// The run's account (--json) as a script reads it: a real JSON parser's document whose status
// is the exit status and whose counts are what the run did and met, for each operation done
// or failed; and a killed run's account is absent, never half there or an earlier run's.
#include "e2e_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>

using nlohmann::json;

class run_account : public e2e {};

TEST_F(run_account, gives_each_operation_its_status_and_counts) {
    const panelsim::bytes image = with_version(random_image(640, 3), 0x0106); // 10 blocks
    write_file(path("img.bin"), image);
    panelsim::config lossy, silent, in_bootloader;
    lossy.byte_faults = {{panelsim::fault_place::answer, 20, 0, 0x01}};
    silent.stop_after_packets = 30;
    in_bootloader.start_in_bootloader = true;
    const auto two_differ = holding(image, {0x45, 0x245});
    const auto one_differs = holding(image, {0x85});
    const struct {
        std::vector<std::string> args;
        panelsim::config cfg;
        const panelsim::flash_image* flash;
        int status;
        json expected; // members the account must hold
    } cases[] = {
        {{"-c", "106", "-w", "img.bin"},
         lossy,
         nullptr,
         0,
         {{"operation", "program"},
          {"version_before", "0100"},
          {"version_after", "0106"},
          {"entered_from", "firmware"},
          {"image_blocks", 10},
          {"blocks_programmed", 10},
          {"answers_lost", 1},
          {"message", "Frontpanel version 0106"}}},
        {{"-s", "-w", "img.bin"},
         {},
         &two_differ,
         0,
         {{"blocks_programmed", 2}, {"blocks_held", 8}, {"version_before", nullptr}}},
        {{"-c", "100", "-w", "img.bin"},
         {},
         nullptr,
         1,
         {{"version_after", nullptr}, {"message", "Frontpanel version OK, no programming done."}}},
        {{"-w", "img.bin"},
         silent,
         nullptr,
         3,
         {{"answers_lost", 3},
          {"reconnections", 1},
          {"message", "No answer from Frontpanel, aborting"}}},
        {{"-C", "img.bin"},
         {},
         &one_differs,
         1,
         {{"operation", "compare"}, {"blocks_differing", 1}}},
        {{"-r", "dump.bin"}, {}, nullptr, 0, {{"path", "dump.bin"}, {"image_format", nullptr}}},
        {{"-i"},
         in_bootloader,
         nullptr,
         3,
         {{"message", "Frontpanel seems to be in safe bootloader mode"}}},
    };
    for (const auto& c : cases) {
        start_panel(c.cfg);
        if (c.flash != nullptr) {
            panel->set_flash(*c.flash);
        }
        std::vector<std::string> args = {"--json", "run.json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = run(args);
        const json account = json::parse(std::ifstream(path("run.json")));
        EXPECT_EQ(r.status, c.status) << c.args.back() << r.out;
        EXPECT_EQ(account["status"], r.status) << account;
        for (const auto& [name, value] : c.expected.items()) {
            EXPECT_EQ(account[name], value) << name << ": " << account;
        }
        panel->stop();
    }
}

TEST_F(run_account, a_killed_run_leaves_none) {
    start_panel();
    write_file(path("img.bin"), random_image(640, 4));
    write_file(path("run.json"), {'{', '}'}); // an earlier run's
    tool_setup setup;
    setup.signal_after = "Program at 140";
    setup.signal = SIGTERM;
    const auto r = run({"--json", "run.json", "-w", "img.bin"}, setup);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(list_dir(dir).size(), 2U) << "the image and the panel's line, no account at all";
}
