// Comparing (-C) and programming only what differs (-s) end to end: what the panel holds
// decides the status, and the packets show what was erased and written.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using panelsim::bytes;

namespace {

// Bytes 0x00, 0x01, ... of an image of `length` bytes.
bytes counting_image(std::size_t length) {
    bytes image(length);
    for (std::size_t i = 0; i < length; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return image;
}

// The default flash with `image` over its start, padded with zeros to whole blocks.
panelsim::flash_image holding(const bytes& image) {
    panelsim::flash_image flash = panelsim::default_flash();
    const std::size_t end = (image.size() + 63) / 64 * 64;
    std::fill(flash.begin(), flash.begin() + static_cast<long>(end), 0x00);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

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
    const bytes image = counting_image(200);
    const auto differing = [&](std::initializer_list<int> addresses) {
        panelsim::flash_image flash = holding(image);
        for (const int a : addresses) {
            flash[static_cast<std::size_t>(a + 5)] ^= 0x20;
        }
        return flash;
    };
    panelsim::flash_image unpadded = holding(image);
    unpadded[200] = 0x11; // the zero padding of the short last block is compared too
    struct {
        const char* what;
        panelsim::flash_image flash;
        panelsim::config cfg;
        int status;
        std::vector<int> differ;
    } const cases[] = {
        {"equal", holding(image), {}, 0, {}},
        {"one block", differing({0x40}), {}, 1, {0x40}},
        {"two blocks", differing({0x00, 0x80}), {}, 1, {0x00, 0x80}},
        {"the padding", unpadded, {}, 1, {0xC0}},
        {"read wrong once", holding(image), faulty_read_back(0x40, 1, true), 0, {}},
    };
    write_file(path("img.bin"), image);
    for (const auto& c : cases) {
        start_panel(c.cfg);
        panel->set_flash(c.flash);
        const auto r = run({"-C", "img.bin"});
        EXPECT_EQ(r.status, c.status) << c.what << r.out;
        EXPECT_EQ(count_of(r.out, "Compare at "), 4) << c.what;
        EXPECT_EQ(count_of(r.out, " differs\n"), static_cast<int>(c.differ.size())) << c.what;
        EXPECT_EQ(count_of(r.out, "Data should be:\n"), c.differ.empty() ? 0 : 1) << c.what;
        for (const int a : c.differ) {
            char line[40];
            std::snprintf(line, sizeof line, "\nBlock at %x differs\n", a);
            EXPECT_NE(r.out.find(line), std::string::npos) << c.what << r.out;
        }
        const std::string last = c.differ.empty()
                                     ? "Exit Flashmode\nAll 4 blocks hold the image\n"
                                     : "Exit Flashmode\n" + std::to_string(c.differ.size()) +
                                           " of 4 blocks differ from the image\n";
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), last.size())), last) << c.what;
        settle();
        const auto packets = panel->packets();
        EXPECT_TRUE(std::all_of(packets.begin(), packets.end(), [](const auto& p) {
            return p.command == 0x04 || p.command == 0x01;
        })) << c.what;
        EXPECT_EQ(panel->flash(), c.flash) << c.what;
    }
}

TEST_F(compare, only_the_blocks_that_differ_are_erased_and_written) {
    const bytes image = counting_image(7680);
    struct {
        const char* what;
        std::vector<int> differ; // blocks of the panel that do not hold the image
        bool verify;
    } const cases[] = {
        {"holds it", {}, true},
        {"two blocks", {0x0040, 0x1DC0}, true},
        {"two blocks, -v", {0x0040, 0x1DC0}, false},
    };
    write_file(path("img.bin"), image);
    for (const auto& c : cases) {
        start_panel();
        panelsim::flash_image flash = holding(image);
        for (const int a : c.differ) {
            flash[static_cast<std::size_t>(a)] ^= 0xFF;
        }
        panel->set_flash(flash);
        const auto r = c.verify ? run({"-s", "-w", "img.bin"}) : run({"-v", "-s", "-w", "img.bin"});
        EXPECT_EQ(r.status, 0) << c.what << r.out;
        EXPECT_EQ(count_of(r.out, "Program at "), 120) << c.what;
        EXPECT_NE(r.out.find(std::to_string(c.differ.size()) + " blocks programmed, " +
                             std::to_string(120 - c.differ.size()) + " already held the image\n"),
                  std::string::npos)
            << c.what << r.out;
        settle();
        EXPECT_EQ(panel->flash(), holding(image)) << c.what;
        const auto packets = panel->packets();
        EXPECT_EQ(addresses_of(packets, 0x02), c.differ) << c.what;
        // each block read first; once any was written, every block again and the bootloader
        // area before and after (twice, then once); without verification each written block
        // once, unchecked
        const std::size_t reads = 120 + (c.differ.empty() ? 0
                                         : c.verify       ? 120 + 16 + 8
                                                          : c.differ.size());
        EXPECT_EQ(addresses_of(packets, 0x04).size(), reads) << c.what;
    }
}
