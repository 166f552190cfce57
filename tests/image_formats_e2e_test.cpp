// Intel HEX and S-record images end to end: each programs the panel as its raw image does,
// and a malformed one is refused before anything is sent.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using panelsim::bytes;

namespace {

// The image in 16-byte records from the last address to the first: Intel HEX with the CRLF
// line ends of objcopy, after an extended linear address record; or S3 records after a header,
// before their count (2048) and the end.
std::string records_of(const bytes& image, bool intel) {
    std::string text = intel ? ":020000040000FA\r\n" : "S008000070616E656CE7\n";
    char digits[3];
    for (int at = static_cast<int>(image.size()) - 16; at >= 0; at -= 16) {
        const auto high = static_cast<std::uint8_t>(at >> 8);
        const auto low = static_cast<std::uint8_t>(at);
        bytes body = intel ? bytes{16, high, low, 0} : bytes{21, 0, 0, high, low};
        body.insert(body.end(), image.begin() + at, image.begin() + at + 16);
        text += intel ? ":" : "S3";
        unsigned sum = 0;
        for (const auto byte : body) {
            std::snprintf(digits, sizeof digits, "%02X", byte);
            text += digits;
            sum += byte;
        }
        std::snprintf(digits, sizeof digits, "%02X", (intel ? -sum : ~sum) & 0xFFU);
        text += std::string(digits) + (intel ? "\r\n" : "\n");
    }
    return text + (intel ? ":00000001FF\r\n" : "S5030800F4\nS70500000000FA\n");
}

bytes text_bytes(const std::string& text) {
    return bytes(text.begin(), text.end());
}

} // namespace

class image_formats : public e2e {};

TEST_F(image_formats, hex_and_s_record_files_program_the_panel_as_the_raw_image_does) {
    const bytes image = random_image(32768, 5);
    write_file(path("img.bin"), image);
    write_file(path("img.hex"), text_bytes(records_of(image, true)));
    write_file(path("img.srec"), text_bytes(records_of(image, false)));
    ASSERT_GT(read_file(path("img.hex")).size(), 90000U) << "larger than a raw image's limit";

    std::vector<panelsim::flash_image> flashes;
    for (const char* name : {"img.bin", "img.hex", "img.srec"}) {
        start_panel();
        const auto r = run({"-w", name});
        ASSERT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("Read Flash data length 32768\nEnter Flashmode"), std::string::npos);
        EXPECT_EQ(count_of(r.out, "Omitting bootloader, stripped to 7680\n"), 1) << r.out;
        settle();
        flashes.push_back(panel->flash());
    }
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 7680, flashes[0].begin()));
    EXPECT_EQ(flashes[1], flashes[0]);
    EXPECT_EQ(flashes[2], flashes[0]);
}

TEST_F(image_formats, a_malformed_record_file_is_refused_before_anything_is_sent) {
    // A download cut off after 1000 data records and 20 hex digits of the next one.
    const std::string whole = records_of(bytes(32768, 0x5A), true);
    write_file(path("cut.hex"), text_bytes(whole.substr(0, 17 + 1000 * 45 + 21)));
    start_panel();
    const auto r = run({"-c", "105", "-w", "cut.hex"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Open data file <cut.hex>\nIntel HEX records\n");
    EXPECT_EQ(r.err, "cut.hex:1002: the count byte says 16, the record has 5 data bytes\n");
    settle();
    EXPECT_TRUE(panel->received().empty());
}
