// Runs a fuzz target over inputs without libFuzzer, so that every build replays the
// committed corpus as an ordinary test: each file named, and each file in each folder named,
// in the order of their names. Fails when there is no input at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static std::vector<std::filesystem::path> inputs_named(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::is_directory(argv[i])) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        std::vector<std::filesystem::path> folder;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) {
                folder.push_back(entry.path());
            }
        }
        std::sort(folder.begin(), folder.end());
        inputs.insert(inputs.end(), folder.begin(), folder.end());
    }
    return inputs;
}

int main(int argc, char** argv) {
    const auto inputs = inputs_named(argc, argv);
    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "Can't read %s\n", path.c_str());
            return 1;
        }
        const std::vector<std::uint8_t> data(std::istreambuf_iterator<char>(file), {});
        std::printf("== %s: %zu bytes\n", path.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
        std::fflush(stdout);
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
