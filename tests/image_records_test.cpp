// Intel HEX and S-record parsing: which files are record files, what each record type gives,
// and each way a file is refused, with its line and its fault.
#include "image/image_records.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using image = std::array<std::uint8_t, 32768>;

// What objcopy -I binary -O ihex and -O srec make of "Hello, panel! 0123456789abcdef".
const std::string OBJCOPY_HEX = ":1000000048656C6C6F2C2070616E656C21203031FE\r\n"
                                ":0E0010003233343536373839616263646566E1\r\n:00000001FF\r\n";
const std::string OBJCOPY_SREC = "S0090000742E73726563A7\r\n"
                                 "S113000048656C6C6F2C2070616E656C21203031FA\r\n"
                                 "S11100103233343536373839616263646566DD\r\nS9030000FC\r\n";
const std::string DATA = ":01000000AA55\n"; // 0xAA at 0
const std::string END = ":00000001FF\n";
const std::string S1 = "S104000007F4\n"; // 0x07 at 0

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

records_result parse(const std::string& text, image& into) {
    return parse_records(bytes_of(text), detect_format(bytes_of(text)), into);
}

} // namespace

TEST(image_records, the_first_line_alone_tells_a_record_file_from_a_raw_image) {
    const std::pair<std::string, image_format> files[] = {
        {OBJCOPY_HEX, image_format::intel_hex},   {OBJCOPY_SREC, image_format::s_record},
        {"S9030000FC\r", image_format::s_record}, {":01000000AA54\n" + END, image_format::raw},
        {"S9030000FD\n", image_format::raw},      {"\n" + END, image_format::raw},
        {"\177ELF\2\1", image_format::raw},       {"", image_format::raw},
    };
    for (const auto& [text, format] : files) {
        EXPECT_EQ(detect_format(bytes_of(text)), format) << text;
    }
}

TEST(image_records, each_record_type_gives_its_bytes_and_the_rest_is_zero) {
    const std::string hello = "Hello, panel! 0123456789abcdef";
    const std::pair<int, std::vector<std::uint8_t>> hello_at_0 = {0, {hello.begin(), hello.end()}};
    const struct {
        std::string text;
        std::vector<std::pair<int, std::vector<std::uint8_t>>> given; // address, bytes there
        int length;
    } cases[] = {
        {OBJCOPY_HEX, {hello_at_0}, 30},
        {OBJCOPY_SREC, {hello_at_0}, 30},
        // Segment 0x0100, then linear 0: each base in turn; start addresses ignored.
        {":020000020100FB\n:01001000A14E\n:0400000301020304EF\n:020000040000FA\n"
         ":01001000B23D\n:0400000501020304ED\n" +
             END,
         {{0x10, {0xB2}}, {0x1010, {0xA1}}},
         0x1011},
        {"S30700007FFE010278\nS5030001FB\nS70500000000FA\n", {{0x7FFE, {1, 2}}}, 32768},
        {"S0030000FC\nS205001E0009D3\nS604000001FA\nS804000000FB\n", {{0x1E00, {9}}}, 0x1E01},
        // Lower case, CRLF, CR and an empty line, no line end at the end.
        {":0200000011aa43\r\n\r\r\n:00000001ff", {{0, {0x11, 0xAA}}}, 2},
        {":020004000708EB\n:020005000809E8\n" + END, {{4, {7, 8, 9}}}, 7},
    };
    for (const auto& c : cases) {
        image parsed;
        parsed.fill(0xFF);
        const records_result result = parse(c.text, parsed);
        EXPECT_EQ(result.line, 0) << c.text << result.what.data();
        EXPECT_EQ(result.length, c.length) << c.text;
        image expected{};
        for (const auto& [address, data] : c.given) {
            std::copy(data.begin(), data.end(), expected.begin() + address);
        }
        EXPECT_EQ(parsed, expected) << c.text;
    }
}

TEST(image_records, a_malformed_file_is_refused_at_its_line_with_its_fault) {
    const struct {
        std::string text;
        int line;
        const char* what;
    } cases[] = {
        {DATA + ":01000100BB42\n" + END, 2, "checksum 0x42, the record's bytes give 0x43"},
        {DATA + ":02000100BB42\n", 2, "the count byte says 2, the record has 1 data bytes"},
        {DATA + ":01000100BB4\n", 2, "an odd number of hex digits"},
        {DATA + ":01000100Bg43\n", 2, "column 11: 'g' is not a hex digit"},
        {DATA + ":000000\n", 2, "3 bytes, fewer than a record's 5"},
        {DATA + ":" + std::string(600, '0') + "\n", 2, "more hex digits than any record has"},
        {":027FFF0001027D\n" + END, 1, "address 0x8000 lies beyond the 32768 bytes of an image"},
        {":020000040001F9\n" + DATA, 2, "address 0x10000 lies beyond the 32768 bytes of an image"},
        {DATA + ":01000000BB44\n", 2, "address 0x0000 given as 0xAA before, now as 0xBB"},
        {DATA + "\n", 2, "no end record (type 01) before the file ends"},
        {DATA + END + "\n" + DATA, 4, "text after the end record"},
        {DATA + ":00000006FA\n", 2, "record type 06 is none of 00 to 05"},
        {DATA + ":0100000400FB\n", 2, "a type 04 record has 1 data bytes, not 2"},
        {DATA + "S9030000FC\n", 2, "the line does not start with ':'"},
        {S1 + "S4030000FC\n", 2, "S4 is no record type"},
        {S1 + "S5030003F9\n", 2, "S5 counts 3 data records, the file has 1 before it"},
        {S1 + "S604000003F8\n", 2, "S6 counts 3 data records, the file has 1 before it"},
        {S1 + "S904000000FB\n", 2, "an S9 record has 4 bytes after its count, not 3"},
    };
    for (const auto& c : cases) {
        image parsed{};
        const records_result result = parse(c.text, parsed);
        EXPECT_EQ(result.line, c.line) << c.what;
        EXPECT_STREQ(result.what.data(), c.what);
    }
}
