// The boot-time update as a system without systemd runs it: the example init script, with
// the panelsim build of the tool, against a panel that needs the image, one that runs it
// already, one that does not run the settings' version once programmed, and no panel at
// all, on the line the settings name.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <sys/stat.h>

using panelsim::bytes;

class boot_update : public e2e {};

TEST_F(boot_update, the_init_script_logs_each_outcome_and_lets_the_boot_go_on) {
    const bytes image = with_version(bytes(1000, 0x5C), 0x0105);
    write_file(path("image.bin"), image);
    // Not where the panelsim build looks by itself: only DEVICE leads the tool to the panel.
    const std::string line = path("panel-line");
    // The logger the script finds first records what it was given, instead of the system log.
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    const std::string logger = "#!/bin/sh\necho \"$*\" >>\"" + path("logged") + "\"\n";
    write_file(path("bin/logger"), bytes(logger.begin(), logger.end()));
    ASSERT_EQ(chmod(path("bin/logger").c_str(), 0755), 0);

    struct outcome {
        int panel_version;   // -1: no panel on the line
        const char* version; // VERSION in the settings; the image runs as 0105
        std::string logged;  // a failure's line ends with the tool's message
        bool programmed;
    };
    const outcome outcomes[] = {
        {0x0104, "0105", "front panel updated to version 0105", true},
        {0x0105, "0105", "front panel already runs version 0105 or newer", false},
        {0x0104, "0106",
         "front panel update failed with status 4: the panel does not run version 0106 after "
         "programming: the image is not that version or does not start (Frontpanel version "
         "0105 is older than 0106: the image is not version 0106, and a boot-time update would "
         "program it again at every start)",
         true},
        {-1, "0105",
         "front panel update failed with status 3 (Can't open " + line +
             ": No such file or directory)",
         false},
    };
    tool_setup setup;
    setup.program = "/bin/sh";
    setup.native = true;
    setup.environment = {"PANELFLASH=" + tool_command(dir),
                         "PANELFLASH_DEFAULTS=" + path("panelflash"),
                         "PATH=" + path("bin") + ":/usr/bin:/bin"};
    for (const auto& o : outcomes) {
        const std::string defaults = std::string("VERSION=") + o.version +
                                     "\nIMAGE=" + path("image.bin") + "\nDEVICE=" + line + "\n";
        write_file(path("panelflash"), bytes(defaults.begin(), defaults.end()));
        if (o.panel_version >= 0) {
            panelsim::config cfg;
            cfg.version = static_cast<std::uint16_t>(o.panel_version);
            panel = std::make_unique<panelsim::panel>(cfg, line);
            panel->start();
        }
        const auto r = run({INIT_SCRIPT, "start"}, setup);
        EXPECT_EQ(r.status, 0) << o.logged << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("panelflash-update: " + o.logged + "\n"), std::string::npos) << r.out;
        const auto logged = read_file(path("logged"));
        EXPECT_EQ(std::string(logged.begin(), logged.end()),
                  "-t panelflash-update -- " + o.logged + "\n");
        std::remove(path("logged").c_str());
        if (panel) {
            settle();
            const auto flash = panel->flash();
            EXPECT_EQ(std::equal(image.begin(), image.end(), flash.begin()), o.programmed);
            panel.reset();
        }
    }
}
