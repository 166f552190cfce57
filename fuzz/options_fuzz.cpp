// The option scan and -c values, fed any command line: the input's bytes are the words of
// the command line, the program's name first, each ended by a 0 byte.
#include "cli/options.h"

#include "argv.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct scan {
    parse_result result;
    command_line command;
    std::string path; // the text command.path pointed to
};

} // namespace

// getopt permutes its argv: each scan gets words of its own.
static scan scan_words(std::vector<std::string> words) {
    std::vector<char*> argv = argv_of(words);
    reset_option_scan();
    scan out{};
    out.result = parse_options(static_cast<int>(words.size()), argv.data(), out.command);
    require(out.result != parse_result::run || out.command.op == operation::version ||
                out.command.path != nullptr,
            "-w, -r and -C come with their file");
    std::int32_t refused = 0;
    require(out.result != parse_result::invalid_version ||
                !parse_version(out.command.bad_version, refused),
            "an invalid version is one parse_version refuses");
    // The texts point into this scan's words, which end here.
    out.path = out.command.path ? out.command.path : "";
    out.command.path = nullptr;
    out.command.bad_version = nullptr;
    return out;
}

static bool same(const scan& a, const scan& b) {
    return a.result == b.result && a.command.op == b.command.op && a.path == b.path &&
           a.command.minimum_version == b.command.minimum_version &&
           a.command.skip_verify == b.command.skip_verify &&
           a.command.skip_same == b.command.skip_same && a.command.trace == b.command.trace;
}

// A version read back from its own hexadecimal reads the same; leading blanks are skipped
// and anything left over refuses it.
static void check_version(const std::string& text) {
    std::int32_t version = 0;
    if (!parse_version(text.c_str(), version)) {
        return;
    }
    std::int32_t again = 0;
    require(parse_version((" " + text).c_str(), again) && again == version,
            "leading blanks are skipped");
    require(!parse_version((text + "g").c_str(), again), "anything left over refuses a version");
    if (version == INT32_MIN) {
        return;
    }
    char hex[16];
    const unsigned magnitude = static_cast<unsigned>(version < 0 ? -version : version);
    std::snprintf(hex, sizeof hex, "%s%x", version < 0 ? "-" : "", magnitude);
    require(parse_version(hex, again) && again == version, "a version reads back as written");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    opterr = 0; // getopt's own complaints are not the tool's
    const scan first = scan_words(words);
    require(same(first, scan_words(words)), "a scan started afresh reads the same");
    for (const auto& word : words) {
        check_version(word);
    }
    return 0;
}
