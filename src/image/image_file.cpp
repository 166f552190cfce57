// The firmware image: the file given to -w loaded into memory, and the blocks it covers.
#include "image/image_file.h"

#include "common/fail.h"
#include "files/path_checks.h"
#include "image/image_records.h"
#include "report/run_report.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <vector>

constexpr std::size_t RECORD_READ_SIZE = 65536; // bytes a record file grows by per read

std::array<std::uint8_t, IMAGE_BUFFER_SIZE> image_buffer{};
int image_length = 0;

void reset_image() {
    image_buffer.fill(0);
    image_length = 0;
}

// Reads into `into` up to its end or the file's; a directory opens but does not read, and a
// read error is no short image either.
static std::size_t read_file(std::FILE* file, std::span<std::uint8_t> into) {
    const std::size_t got = std::fread(into.data(), 1, into.size(), file);
    if (std::ferror(file)) {
        fail_system(EXIT_FAILED, "Loading failed.");
    }
    return got;
}

// The record file whose first bytes are in image_buffer, read to its end and parsed into
// image_buffer; returns the image's length. The text grows as it is read, up to its limit.
static int load_records(std::FILE* file, const char* path, image_format format, std::size_t got) {
    std::vector<std::uint8_t> text(image_buffer.begin(), image_buffer.begin() + got);
    while (got > 0 && text.size() <= RECORD_FILE_SIZE) {
        text.resize(text.size() + RECORD_READ_SIZE);
        got = read_file(file, std::span(text).last(RECORD_READ_SIZE));
        text.resize(text.size() - RECORD_READ_SIZE + got);
    }
    if (text.size() > RECORD_FILE_SIZE) {
        fail_stderr(EXIT_FAILED, "%s: more than the %d bytes a HEX or S-record file may have\n",
                    path, RECORD_FILE_SIZE);
    }
    const records_result result = parse_records(text, format, image_buffer);
    if (result.line != 0) {
        fail_stderr(EXIT_FAILED, "%s:%i: %s\n", path, result.line, result.what.data());
    }
    return result.length;
}

void load_image(const char* path) {
    std::printf("Open data file <%s>\n", path);
    refuse_panel_line(path);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        fail_system(EXIT_FAILED, "Loading failed.");
    }
    const std::size_t got = read_file(file, image_buffer);
    image_length = static_cast<int>(got);
    const image_format format = detect_format(std::span(image_buffer).first(got));
    if (format != image_format::raw) {
        std::printf("%s\n",
                    format == image_format::intel_hex ? "Intel HEX records" : "Motorola S-records");
        image_length = load_records(file, path, format, got);
    }
    std::fclose(file);
    report.image_format = format == image_format::raw         ? "raw"
                          : format == image_format::intel_hex ? "intel_hex"
                                                              : "s_record";
    report.image_length = image_length;
    std::printf("Read Flash data length %i\n", image_length);
    if (image_length == 0) {
        fail(EXIT_FAILED, "Empty file, exiting\n");
    }
}

int blocks_to_program(int length) {
    const int programmed = std::min(length, APP_AREA_SIZE);
    return (programmed + BLOCK_SIZE - 1) / BLOCK_SIZE;
}
