// Intel HEX and Motorola S-record images: a record file's text turned into flash bytes, by
// pure functions over the file's bytes that the tool, the tests and the fuzz target share.
#include "image/image_records.h"

#include <algorithm>
#include <bitset>
#include <cstdarg>
#include <cstdio>

namespace {

// The most a record holds: Intel HEX's count, address, type, 255 data bytes and checksum.
constexpr int RECORD_BYTES_MAX = 260; // bytes after a record's start code
constexpr int INTEL_FRAME_BYTES = 5;  // bytes of an Intel HEX record around its data
constexpr int INTEL_END = 0x01;       // record type of the end of the file
constexpr int INTEL_LAST_TYPE = 0x05; // types beyond it are unknown
// Data bytes each Intel HEX record type carries: data (any), end, extended segment address,
// start segment address, extended linear address, start linear address.
constexpr int INTEL_DATA_BYTES[] = {-1, 0, 2, 4, 2, 4};
// Address bytes of S0 to S9 (S4 is no type; S5 and S6 carry a record count there).
constexpr int S_ADDRESS_BYTES[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// A line decoded: the bytes its hex digits give after the start code (and an S-record's
// type digit), count first and checksum last.
struct record {
    int type = 0; // Intel HEX's type byte, or the digit after an S-record's S
    std::array<std::uint8_t, RECORD_BYTES_MAX> bytes{};
    int size = 0; // bytes decoded
};

struct parse_state {
    image_format format;
    std::span<std::uint8_t, IMAGE_BUFFER_SIZE> image;
    std::bitset<IMAGE_BUFFER_SIZE> given{};
    long long base = 0;         // Intel HEX: the address the last 02 or 04 record set
    long long data_records = 0; // S-record: S1, S2 and S3 records so far, which S5 and S6 count
    bool ended = false;
    records_result result{};
};

} // namespace

// Sets the fault's text; returns false, so that a refusal is one statement.
static bool refuse(records_result& result, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

static bool refuse(records_result& result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(result.what.data(), result.what.size(), format, args);
    va_end(args);
    return false;
}

static int hex_digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

// The line that starts at `at`, which is moved past its end: LF, CRLF or CR.
static std::span<const std::uint8_t> next_line(std::span<const std::uint8_t> text,
                                               std::size_t& at) {
    const std::size_t start = at;
    while (at < text.size() && text[at] != '\n' && text[at] != '\r') {
        ++at;
    }
    const auto line = text.subspan(start, at - start);
    if (at < text.size() && text[at] == '\r') {
        ++at;
    }
    if (at < text.size() && text[at] == '\n') {
        ++at;
    }
    return line;
}

static bool decode_hex(std::span<const std::uint8_t> digits, int column, record& rec,
                       records_result& result) {
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const int value = hex_digit(digits[i]);
        const int at = column + static_cast<int>(i);
        if (value < 0) {
            return digits[i] >= ' ' && digits[i] <= '~'
                       ? refuse(result, "column %d: '%c' is not a hex digit", at, digits[i])
                       : refuse(result, "column %d: byte 0x%02X is not a hex digit", at, digits[i]);
        }
        if (i / 2 >= rec.bytes.size()) {
            return refuse(result, "more hex digits than any record has");
        }
        rec.bytes[i / 2] = static_cast<std::uint8_t>(rec.bytes[i / 2] << 4 | value);
    }
    if (digits.size() % 2 != 0) {
        return refuse(result, "an odd number of hex digits");
    }
    rec.size = static_cast<int>(digits.size() / 2);
    return true;
}

static int sum_before_checksum(const record& rec) {
    int sum = 0;
    for (int i = 0; i + 1 < rec.size; ++i) {
        sum += rec.bytes[static_cast<std::size_t>(i)];
    }
    return sum;
}

// The count byte covers what follows it, and the checksum makes the record's sum what its
// format wants: two's complement for Intel HEX, one's complement for S-records.
static bool check_frame(const record& rec, image_format format, records_result& result) {
    const bool intel = format == image_format::intel_hex;
    const int frame = intel ? INTEL_FRAME_BYTES : 2;
    if (rec.size < frame) {
        return refuse(result, "%d bytes, fewer than a record's %d", rec.size, frame);
    }
    const int counted = rec.size - (intel ? INTEL_FRAME_BYTES : 1);
    if (rec.bytes[0] != counted) {
        return refuse(result, "the count byte says %d, the record has %d %s", rec.bytes[0], counted,
                      intel ? "data bytes" : "bytes after it");
    }
    const int sum = sum_before_checksum(rec);
    const int expected = (intel ? -sum : ~sum) & 0xFF;
    const int checksum = rec.bytes[static_cast<std::size_t>(rec.size - 1)];
    if (checksum != expected) {
        return refuse(result, "checksum 0x%02X, the record's bytes give 0x%02X", checksum,
                      expected);
    }
    return true;
}

static bool decode_record(std::span<const std::uint8_t> line, image_format format, record& rec,
                          records_result& result) {
    if (format == image_format::intel_hex) {
        if (line.empty() || line[0] != ':') {
            return refuse(result, "the line does not start with ':'");
        }
        if (!decode_hex(line.subspan(1), 2, rec, result) || !check_frame(rec, format, result)) {
            return false;
        }
        rec.type = rec.bytes[3];
        return true;
    }
    if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
        return refuse(result, "the line does not start with S and a digit");
    }
    rec.type = line[1] - '0';
    return decode_hex(line.subspan(2), 3, rec, result) && check_frame(rec, format, result);
}

static bool store(parse_state& s, long long address, std::span<const std::uint8_t> data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const long long at = address + static_cast<long long>(i);
        if (at >= IMAGE_BUFFER_SIZE) {
            return refuse(s.result, "address 0x%llX lies beyond the %d bytes of an image", at,
                          IMAGE_BUFFER_SIZE);
        }
        const auto where = static_cast<std::size_t>(at);
        if (s.given[where] && s.image[where] != data[i]) {
            return refuse(s.result, "address 0x%04llX given as 0x%02X before, now as 0x%02X", at,
                          s.image[where], data[i]);
        }
        s.image[where] = data[i];
        s.given.set(where);
        s.result.length = std::max(s.result.length, static_cast<int>(at) + 1);
    }
    return true;
}

// The big-endian number in `bytes`.
static long long number(std::span<const std::uint8_t> bytes) {
    long long value = 0;
    for (const std::uint8_t byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

static bool apply_intel(const record& rec, parse_state& s) {
    if (rec.type > INTEL_LAST_TYPE) {
        return refuse(s.result, "record type %02X is none of 00 to 05", rec.type);
    }
    const int count = rec.bytes[0];
    const int wanted = INTEL_DATA_BYTES[rec.type];
    if (wanted >= 0 && count != wanted) {
        return refuse(s.result, "a type %02X record has %d data bytes, not %d", rec.type, count,
                      wanted);
    }
    const auto data = std::span(rec.bytes).subspan(4, static_cast<std::size_t>(count));
    switch (rec.type) {
    case 0x00:
        return store(s, s.base + number(std::span(rec.bytes).subspan(1, 2)), data);
    case INTEL_END:
        s.ended = true;
        break;
    case 0x02:
        s.base = number(data) << 4;
        break;
    case 0x04:
        s.base = number(data) << 16;
        break;
    }
    return true;
}

static bool apply_s_record(const record& rec, parse_state& s) {
    if (rec.type == 4) {
        return refuse(s.result, "S4 is no record type");
    }
    const int address_bytes = S_ADDRESS_BYTES[rec.type];
    const int data_bytes = rec.size - 2 - address_bytes;
    const bool data_type = rec.type <= 3;
    if (data_bytes < 0 || (!data_type && data_bytes != 0)) {
        return refuse(s.result, "an S%d record has %d bytes after its count, %s %d", rec.type,
                      rec.size - 1, data_type ? "at least" : "not", address_bytes + 1);
    }
    const auto bytes = std::span(rec.bytes);
    const long long value = number(bytes.subspan(1, static_cast<std::size_t>(address_bytes)));
    if (rec.type == 1 || rec.type == 2 || rec.type == 3) {
        ++s.data_records;
        return store(s, value,
                     bytes.subspan(static_cast<std::size_t>(1 + address_bytes),
                                   static_cast<std::size_t>(data_bytes)));
    }
    if ((rec.type == 5 || rec.type == 6) && value != s.data_records) {
        return refuse(s.result, "S%d counts %lld data records, the file has %lld before it",
                      rec.type, value, s.data_records);
    }
    if (rec.type >= 7) {
        s.ended = true;
    }
    return true;
}

static bool parse_line(std::span<const std::uint8_t> line, parse_state& s) {
    if (line.empty()) {
        return true;
    }
    if (s.ended) {
        return refuse(s.result, "text after the end record");
    }
    record rec;
    if (!decode_record(line, s.format, rec, s.result)) {
        return false;
    }
    return s.format == image_format::intel_hex ? apply_intel(rec, s) : apply_s_record(rec, s);
}

image_format detect_format(std::span<const std::uint8_t> file) {
    std::size_t at = 0;
    const auto first = next_line(file, at);
    for (const image_format format : {image_format::intel_hex, image_format::s_record}) {
        record rec;
        records_result ignored;
        if (decode_record(first, format, rec, ignored)) {
            return format;
        }
    }
    return image_format::raw;
}

records_result parse_records(std::span<const std::uint8_t> text, image_format format,
                             std::span<std::uint8_t, IMAGE_BUFFER_SIZE> image) {
    std::fill(image.begin(), image.end(), 0);
    parse_state s{format, image};
    int line = 0;
    for (std::size_t at = 0; at < text.size();) {
        ++line;
        if (!parse_line(next_line(text, at), s)) {
            s.result.line = line;
            return s.result;
        }
    }
    if (!s.ended) {
        refuse(s.result, "no end record (%s) before the file ends",
               format == image_format::intel_hex ? "type 01" : "S7, S8 or S9");
        s.result.line = std::max(line, 1);
    }
    return s.result;
}
