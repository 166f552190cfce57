// Comparing (-C) and programming only what differs (-s) end to end: what the panel holds
// decides the status, and the packets show what was erased and written.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using panelsim::bytes;

namespace {

std::vector<int> addresses_of(const std::vector<panelsim::packet>& packets, std::uint8_t command) {
    std::vector<int> addresses;
    for (const auto& p : packets) {
        if (p.command == command) {
            addresses.push_back(p.address);
        }
    }
    return addresses;
}

} // namespace

class compare : public e2e {};

TEST_F(compare, tells_whether_the_panel_holds_the_image_and_never_erases_or_writes) {
    const bytes image = random_image(200, 1);
    const struct {
        const char* what;
        panelsim::flash_image flash;
        panelsim::config cfg;
        std::string said; // the first block named, and the last line
    } cases[] = {
        {"equal", holding(image), {}, "All 4 blocks hold the image\n"},
        {"one block", holding(image, {0x45}), {}, "Block at 40 differs\nData should be:\n"},
        {"two blocks", holding(image, {0x05, 0x85}), {}, "2 of 4 blocks differ from the image\n"},
        {"the padding of the last block", holding(image, {200}), {}, "Block at c0 differs\n"},
        {"read wrong once", holding(image), faulty_read_back(0x40, 1, true), "All 4 blocks"},
    };
    write_file(path("img.bin"), image);
    for (const auto& c : cases) {
        start_panel(c.cfg);
        panel->set_flash(c.flash);
        const auto r = run({"-C", "img.bin"});
        const bool equal = c.flash == holding(image);
        EXPECT_EQ(r.status, equal ? 0 : 1) << c.what << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << c.what << r.out;
        EXPECT_EQ(count_of(r.out, "Data should be:\n"), equal ? 0 : 1) << c.what << r.out;
        settle();
        EXPECT_TRUE(addresses_of(panel->packets(), 0x02).empty()) << c.what;
        EXPECT_TRUE(addresses_of(panel->packets(), 0x03).empty()) << c.what;
        EXPECT_FALSE(panel->in_bootloader()) << c.what << ": flash mode left";
    }
}

TEST_F(compare, only_the_blocks_that_differ_are_erased_and_written) {
    const bytes image = random_image(7680, 2);
    write_file(path("img.bin"), image);
    for (const bool differ : {false, true}) {
        start_panel();
        // a byte of the second block differs, and the very last byte of the last block
        panel->set_flash(differ ? holding(image, {0x0040, 0x1DFF}) : holding(image));
        const auto r = run({"-s", "-w", "img.bin"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(
                      differ ? "Exit Flashmode\n2 blocks programmed, 118 already held the image\n"
                             : "Exit Flashmode\n0 blocks programmed, 120 already held the image\n"),
                  std::string::npos)
            << r.out;
        settle();
        EXPECT_EQ(panel->flash(), holding(image));
        const std::vector<int> differing = {0x40, 0x1DC0};
        EXPECT_EQ(addresses_of(panel->packets(), 0x02), differ ? differing : std::vector<int>{});
        // each block read first; once any was written, every block again and the bootloader
        // area before and after
        EXPECT_EQ(addresses_of(panel->packets(), 0x04).size(), differ ? 120U + 120 + 16 + 8 : 120U);
    }
}
