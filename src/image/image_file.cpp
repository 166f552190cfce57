// The firmware image: the file given to -w loaded into memory, and the blocks it covers.
#include "image/image_file.h"

#include "common/fail.h"
#include "files/path_checks.h"

#include <algorithm>
#include <cstdio>

std::array<std::uint8_t, IMAGE_BUFFER_SIZE> image_buffer{};
int image_length = 0;

void reset_image() {
    image_buffer.fill(0);
    image_length = 0;
}

void load_image(const char* path) {
    std::printf("Open data file <%s>\n", path);
    refuse_panel_line(path);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        fail_system(EXIT_FAILED, "Loading failed.");
    }
    image_length = static_cast<int>(std::fread(image_buffer.data(), 1, image_buffer.size(), file));
    // A directory opens but does not read; a read error is no short image either.
    if (std::ferror(file)) {
        fail_system(EXIT_FAILED, "Loading failed.");
    }
    std::fclose(file);
    std::printf("Read Flash data length %i\n", image_length);
    if (image_length == 0) {
        fail(EXIT_FAILED, "Empty file, exiting\n");
    }
}

int blocks_to_program(int length) {
    const int programmed = std::min(length, APP_AREA_SIZE);
    return (programmed + BLOCK_SIZE - 1) / BLOCK_SIZE;
}
