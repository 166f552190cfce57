// Programming end to end: the tool as a child against panelsim, flash compared afterwards.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include <sys/stat.h>

using panelsim::bytes;
using panelsim::packet;

namespace {

bytes random_image(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    bytes image(length);
    for (auto& byte : image) {
        byte = static_cast<std::uint8_t>(random());
    }
    return image;
}

std::string retry_messages(int count) {
    std::string text;
    char line[40];
    for (int retry = 0; retry < count; ++retry) {
        std::snprintf(line, sizeof line, "\nVerify error, retry #%i\n", retry);
        text += line;
    }
    return text;
}

} // namespace

class program : public e2e {};

struct image_case {
    int length;
    int blocks;
};

class program_lengths : public program, public ::testing::WithParamInterface<image_case> {};

TEST_P(program_lengths, programs_the_padded_image_and_nothing_else) {
    const auto [length, blocks] = GetParam();
    start_panel();
    const auto before = panel->flash();
    const bytes image =
        random_image(static_cast<std::size_t>(length), static_cast<unsigned>(length));
    write_file(path("img.bin"), image);

    const auto r = run({"-w", "img.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const int loaded = std::min(length, 32768);
    const std::string head = "Open data file <img.bin>\nRead Flash data length " +
                             std::to_string(loaded) +
                             "\nEnter Flashmode...\nAccepted (1)\nSync\nSynced\n";
    EXPECT_EQ(r.out.rfind(head, 0), 0U) << r.out;
    EXPECT_EQ(count_of(r.out, "Omitting bootloader, stripped to 7680\n"), length > 7680 ? 1 : 0);
    EXPECT_EQ(count_of(r.out, "Program at "), blocks);
    EXPECT_EQ(count_of(r.out, "Verify error"), 0);
    char last[40];
    std::snprintf(last, sizeof last, "Program at %x   \rExit Flashmode\n", (blocks - 1) * 64);
    EXPECT_EQ(r.out.substr(r.out.size() - std::string(last).size()), last);

    settle();
    const auto after = panel->flash();
    for (int address = 0; address < 8192; ++address) {
        const auto at = static_cast<std::size_t>(address);
        const std::uint8_t expected = address >= blocks * 64 ? before[at]
                                      : address < length     ? image[at]
                                                             : 0x00;
        ASSERT_EQ(after[at], expected) << "at " << address;
    }
    const auto packets = panel->packets();
    ASSERT_EQ(packets.size(), static_cast<std::size_t>(blocks) * 4 + 1);
    for (int block = 0; block < blocks; ++block) {
        const std::uint8_t order[] = {0x02, 0x03, 0x03, 0x04};
        for (int i = 0; i < 4; ++i) {
            const packet& p = packets[static_cast<std::size_t>(block * 4 + i)];
            EXPECT_EQ(p.command, order[i]);
            EXPECT_EQ(p.address, block * 64);
            EXPECT_TRUE(p.checksum_ok);
        }
    }
    EXPECT_EQ(packets.back().command, 0x01);
    EXPECT_TRUE(panel->violations().empty());
}

INSTANTIATE_TEST_SUITE_P(image_lengths, program_lengths,
                         ::testing::Values(image_case{1, 1}, image_case{63, 1}, image_case{64, 1},
                                           image_case{65, 2}, image_case{100, 2},
                                           image_case{7679, 120}, image_case{7680, 120},
                                           image_case{7681, 120}, image_case{40000, 120}),
                         [](const auto& param_info) {
                             return "length_" + std::to_string(param_info.param.length);
                         });

TEST_F(program, wrong_read_backs_are_retried_up_to_twenty_times) {
    for (const int wrong : {3, 20}) {
        start_panel(faulty_read_back(0x80, wrong, true));
        const bytes image = random_image(256, 1);
        write_file(path("img.bin"), image);
        const auto r = run({"-w", "img.bin"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Program at 80   \r" + retry_messages(wrong) + "Program at c0   \r"),
                  std::string::npos)
            << r.out;
        settle();
        const auto flash = panel->flash();
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_EQ(panel->packets().size(), 4U * (4 + static_cast<std::size_t>(wrong)) + 1);
    }
}

TEST_F(program, a_block_still_wrong_after_twenty_retries_is_dumped_and_fails) {
    start_panel(faulty_read_back(0x40, 21, true));
    bytes image(128);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i);
    }
    write_file(path("img.bin"), image);
    const auto r = run({"-w", "img.bin"});
    EXPECT_EQ(r.status, 255);
    const std::string tail = retry_messages(20) +
                             "Too many retries, aborting\nData should be:\n"
                             "0000 40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f \n"
                             "0010 50 51 52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f \n"
                             "0020 60 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f \n"
                             "0030 70 71 72 73 74 75 76 77 78 79 7a 7b 7c 7d 7e 7f \n\n"
                             "Data is:\n"
                             "0000 bf 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f \n"
                             "0010 50 51 52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f \n"
                             "0020 60 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f \n"
                             "0030 70 71 72 73 74 75 76 77 78 79 7a 7b 7c 7d 7e 7f \n\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    settle();
    const auto packets = panel->packets();
    EXPECT_EQ(packets.size(), 4U + 4U * 21);
    EXPECT_NE(packets.back().command, 0x01) << "the panel stays in flash mode";
}

TEST_F(program, without_verification_wrong_read_backs_pass_unretried) {
    const panelsim::config cfg = faulty_read_back(0x00, 5, true);
    start_panel(cfg);
    write_file(path("img.bin"), random_image(100, 2));
    const auto r = run({"-v", "-w", "img.bin"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Synced\nVERIFY SWITCHED OFF!!!\nProgram at 0   \rProgram at 40   \r"
                         "Exit Flashmode\n"),
              std::string::npos)
        << r.out;
    settle();
    EXPECT_EQ(panel->packets().size(), 2U * 4 + 1) << "the read-back still happens";

    start_panel(cfg);
    const auto late = run({"-w", "img.bin", "-v"});
    ASSERT_EQ(late.status, 0);
    EXPECT_EQ(count_of(late.out, "VERIFY SWITCHED OFF"), 0);
    EXPECT_EQ(count_of(late.out, "Verify error"), 5) << "-v after -w is never read";
}

TEST_F(program, a_short_read_back_is_retried_even_when_the_stale_tail_matches) {
    start_panel(faulty_read_back(0x40, 1, false, 60));
    bytes image = random_image(64, 3);
    image.insert(image.end(), image.begin(), image.end()); // two identical blocks
    write_file(path("img.bin"), image);
    const auto r = run({"-w", "img.bin"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Program at 40   \r" + retry_messages(1)), std::string::npos) << r.out;
    settle();
    EXPECT_EQ(panel->packets().size(), 4U * 3 + 1);
}

TEST_F(program, a_bad_image_fails_before_anything_is_sent) {
    start_panel();
    write_file(path("empty.bin"), {});
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);

    auto r = run({"-w", "missing.bin"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Open data file <missing.bin>\n");
    EXPECT_EQ(r.err, "Loading failed.: No such file or directory\n");

    r = run({"-w", "folder"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Loading failed.: Is a directory\n");

    r = run({"-c", "105", "-w", "empty.bin"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Open data file <empty.bin>\nRead Flash data length 0\nEmpty file, exiting\n");

    settle();
    EXPECT_TRUE(panel->received().empty());
}

TEST_F(program, a_panel_that_stops_answering_mid_programming_ends_the_run) {
    panelsim::config cfg;
    cfg.stop_after_packets = 50;
    start_panel(cfg);
    write_file(path("img.bin"), random_image(7680, 4));
    const auto r = run({"-w", "img.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Program at 300   \rNo answer from Frontpanel, aborting\n"),
              std::string::npos)
        << r.out;
    EXPECT_LT(r.seconds, 8.0);
}
