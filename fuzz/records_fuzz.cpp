// The record parser fed any file: its bytes parsed as Intel HEX and as S-records, whatever
// its first line is, with LF line ends and again with CRLF.
#include "image/image_records.h"

#include "require.h"

#include <algorithm>
#include <cstring>
#include <vector>

static std::array<std::uint8_t, IMAGE_BUFFER_SIZE> image;
static const std::array<std::uint8_t, IMAGE_BUFFER_SIZE> zeros{};

static int lines_of(std::span<const std::uint8_t> text) {
    int ends = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        ends +=
            text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
    }
    return ends + 1;
}

static records_result parse_checked(std::span<const std::uint8_t> text, image_format format) {
    image.fill(0xA5);
    const records_result result = parse_records(text, format, image);
    const bool refused = result.line != 0;
    require(std::strlen(result.what.data()) < result.what.size(), "the fault's text is ended");
    require(refused == (result.what[0] != 0), "a refusal, and only a refusal, says why");
    require(!refused || result.line <= lines_of(text), "a fault lies on a line of the file");
    require(refused || (result.length >= 0 && result.length <= IMAGE_BUFFER_SIZE),
            "an image fits its buffer");
    const auto tail = static_cast<std::size_t>(std::clamp(result.length, 0, IMAGE_BUFFER_SIZE));
    require(refused || std::memcmp(image.data() + tail, zeros.data(), image.size() - tail) == 0,
            "the image ends with its highest address given, zeros after it");
    return result;
}

// The text with each LF that ends no CRLF made one.
static std::vector<std::uint8_t> with_crlf(std::span<const std::uint8_t> text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out.push_back('\r');
        }
        out.push_back(text[i]);
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> text(data, size);
    const auto crlf = with_crlf(text);
    // Detection reads the first line only, and what it finds is checked by the tests.
    static_cast<void>(detect_format(text));
    for (const image_format format : {image_format::intel_hex, image_format::s_record}) {
        const records_result lf = parse_checked(text, format);
        const records_result again = parse_checked(crlf, format);
        require(lf.line == again.line && lf.length == again.length && lf.what == again.what,
                "CRLF line ends read as LF ones");
    }
    return 0;
}
