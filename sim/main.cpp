// panelsim: serves a simulated front panel on a pseudo-terminal until SIGINT or SIGTERM.
#include "panel_sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <getopt.h>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

namespace {

constexpr int EXIT_BAD_USAGE = 64;

void usage(std::FILE* out) {
    std::fputs("usage: panelsim [options]\n"
               "Serves a simulated front panel on a pseudo-terminal until interrupted.\n"
               "\n"
               "  --link PATH           where the panel's line is linked (default ./frontpanel)\n"
               "  --flash FILE          load the flash from FILE if it exists (8192 bytes) and\n"
               "                        save it there after each session and on exit\n"
               "  --version HEX         firmware version answered (default 0100)\n"
               "  --version-reply HEX   bytes sent instead of the version frame ('none': silence)\n"
               "  --bootloader          start in the bootloader\n"
               "  --reply HEX           flash-mode reply (default 5afd; 'none': no answer)\n"
               "  --no-sync             the bootloader never answers a sync byte\n"
               "  --sync-bytes N        bytes answered per sync byte (default 1)\n"
               "  --line                pace both directions like 115200 baud 8N1\n"
               "  --erase-ms MS         erase time with --line (default 4)\n"
               "  --write-ms MS         block write time with --line (default 4)\n"
               "  --fifo N              with --line, bytes the host's UART hands over together\n"
               "                        (default 8; 1: every byte on its own)\n"
               "  --report              print the line counters after each session\n"
               "  --stop-after N        answer nothing after N bootloader packets\n"
               "  --hang-up-after N     drop the line after answering N bootloader packets\n"
               "  --hang-up-on-request  drop the line instead of answering the flash-mode request\n"
               "  --noise HEX           bytes sent before every acknowledgement\n"
               "  --fault-block ADDR    block (hex address) whose read-back is faulty\n"
               "  --fault-reads N       how many reads of that block are faulty (default 1)\n"
               "  --fault-corrupt       faulty read-backs have their first byte inverted\n"
               "  --fault-short N       faulty read-backs carry only N bytes of the block\n"
               "  --help                show this help\n",
               out);
}

[[noreturn]] void bad_usage(const std::string& message) {
    std::fprintf(stderr, "panelsim: %s\n", message.c_str());
    usage(stderr);
    std::exit(EXIT_BAD_USAGE);
}

long parse_number(const char* text, int base, long min, long max, const char* option) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
        bad_usage(std::string("bad value for ") + option + ": " + text);
    }
    return value;
}

double parse_ms(const char* text, const char* option) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0) || value > 60000.0) {
        bad_usage(std::string("bad value for ") + option + ": " + text);
    }
    return value;
}

panelsim::bytes parse_hex_bytes(const std::string& text, const char* option) {
    panelsim::bytes out;
    if (text == "none") {
        return out;
    }
    if (text.empty() || text.size() % 2 != 0) {
        bad_usage(std::string("bad hex bytes for ") + option + ": " + text);
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        out.push_back(static_cast<std::uint8_t>(parse_number(pair.c_str(), 16, 0, 255, option)));
    }
    return out;
}

std::optional<panelsim::flash_image> load_flash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (content.size() != static_cast<std::size_t>(FLASH_SIZE)) {
        throw std::runtime_error(path + " holds " + std::to_string(content.size()) +
                                 " bytes, not " + std::to_string(FLASH_SIZE));
    }
    panelsim::flash_image image{};
    std::memcpy(image.data(), content.data(), image.size());
    return image;
}

// Written beside the target and renamed, so an interrupted save never leaves half a flash.
void save_flash(const std::string& path, const panelsim::flash_image& image) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        if (!out) {
            std::fprintf(stderr, "panelsim: cannot write %s\n", temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "panelsim: cannot save %s: %s\n", path.c_str(), std::strerror(errno));
    }
}

} // namespace

int main(int argc, char** argv) {
    enum option_id {
        OPT_LINK = 256,
        OPT_FLASH,
        OPT_VERSION,
        OPT_VERSION_REPLY,
        OPT_BOOTLOADER,
        OPT_REPLY,
        OPT_NO_SYNC,
        OPT_SYNC_BYTES,
        OPT_LINE,
        OPT_ERASE_MS,
        OPT_WRITE_MS,
        OPT_FIFO,
        OPT_REPORT,
        OPT_STOP_AFTER,
        OPT_HANG_UP_AFTER,
        OPT_HANG_UP_ON_REQUEST,
        OPT_NOISE,
        OPT_FAULT_BLOCK,
        OPT_FAULT_READS,
        OPT_FAULT_CORRUPT,
        OPT_FAULT_SHORT,
        OPT_HELP,
    };
    static const option options[] = {
        {"link", required_argument, nullptr, OPT_LINK},
        {"flash", required_argument, nullptr, OPT_FLASH},
        {"version", required_argument, nullptr, OPT_VERSION},
        {"version-reply", required_argument, nullptr, OPT_VERSION_REPLY},
        {"bootloader", no_argument, nullptr, OPT_BOOTLOADER},
        {"reply", required_argument, nullptr, OPT_REPLY},
        {"no-sync", no_argument, nullptr, OPT_NO_SYNC},
        {"sync-bytes", required_argument, nullptr, OPT_SYNC_BYTES},
        {"line", no_argument, nullptr, OPT_LINE},
        {"erase-ms", required_argument, nullptr, OPT_ERASE_MS},
        {"write-ms", required_argument, nullptr, OPT_WRITE_MS},
        {"fifo", required_argument, nullptr, OPT_FIFO},
        {"report", no_argument, nullptr, OPT_REPORT},
        {"stop-after", required_argument, nullptr, OPT_STOP_AFTER},
        {"hang-up-after", required_argument, nullptr, OPT_HANG_UP_AFTER},
        {"hang-up-on-request", no_argument, nullptr, OPT_HANG_UP_ON_REQUEST},
        {"noise", required_argument, nullptr, OPT_NOISE},
        {"fault-block", required_argument, nullptr, OPT_FAULT_BLOCK},
        {"fault-reads", required_argument, nullptr, OPT_FAULT_READS},
        {"fault-corrupt", no_argument, nullptr, OPT_FAULT_CORRUPT},
        {"fault-short", required_argument, nullptr, OPT_FAULT_SHORT},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };

    panelsim::config cfg;
    std::string link = "./frontpanel";
    std::string flash_path;
    bool report = false;
    bool fault_reads_given = false;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (opt) {
        case OPT_LINK:
            link = optarg;
            break;
        case OPT_FLASH:
            flash_path = optarg;
            break;
        case OPT_VERSION:
            cfg.version =
                static_cast<std::uint16_t>(parse_number(optarg, 16, 0, 0xFFFF, "--version"));
            break;
        case OPT_VERSION_REPLY:
            cfg.version_reply = parse_hex_bytes(optarg, "--version-reply");
            break;
        case OPT_BOOTLOADER:
            cfg.start_in_bootloader = true;
            break;
        case OPT_REPLY:
            cfg.flash_mode_reply = parse_hex_bytes(optarg, "--reply");
            break;
        case OPT_NO_SYNC:
            cfg.sync_reply_bytes = 0;
            break;
        case OPT_SYNC_BYTES:
            cfg.sync_reply_bytes =
                static_cast<int>(parse_number(optarg, 10, 0, 64, "--sync-bytes"));
            break;
        case OPT_LINE:
            cfg.line_timing = true;
            break;
        case OPT_ERASE_MS:
            cfg.erase_ms = parse_ms(optarg, "--erase-ms");
            break;
        case OPT_WRITE_MS:
            cfg.write_ms = parse_ms(optarg, "--write-ms");
            break;
        case OPT_FIFO:
            cfg.host_fifo_bytes = static_cast<int>(parse_number(optarg, 10, 1, 64, "--fifo"));
            break;
        case OPT_REPORT:
            report = true;
            break;
        case OPT_STOP_AFTER:
            cfg.stop_after_packets =
                static_cast<int>(parse_number(optarg, 10, 0, 1'000'000, "--stop-after"));
            break;
        case OPT_HANG_UP_AFTER:
            cfg.hang_up_after_packets =
                static_cast<int>(parse_number(optarg, 10, 0, 1'000'000, "--hang-up-after"));
            break;
        case OPT_HANG_UP_ON_REQUEST:
            cfg.hang_up_on_flash_request = true;
            break;
        case OPT_NOISE:
            cfg.noise_before_ack = parse_hex_bytes(optarg, "--noise");
            break;
        case OPT_FAULT_BLOCK:
            cfg.fault_block = static_cast<int>(
                parse_number(optarg, 16, 0, FLASH_SIZE - BLOCK_SIZE, "--fault-block"));
            break;
        case OPT_FAULT_READS:
            cfg.fault_reads =
                static_cast<int>(parse_number(optarg, 10, 0, 1'000'000, "--fault-reads"));
            fault_reads_given = true;
            break;
        case OPT_FAULT_CORRUPT:
            cfg.fault_corrupt = true;
            break;
        case OPT_FAULT_SHORT:
            cfg.fault_short_bytes =
                static_cast<int>(parse_number(optarg, 10, 0, BLOCK_SIZE, "--fault-short"));
            break;
        case OPT_HELP:
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return EXIT_BAD_USAGE;
        }
    }
    if (optind < argc) {
        bad_usage(std::string("unexpected argument: ") + argv[optind]);
    }
    if (cfg.fault_block >= 0 && !fault_reads_given) {
        cfg.fault_reads = 1;
    }

    // Blocked before the serving thread exists, so only sigwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        panelsim::panel panel(cfg, link);
        if (!flash_path.empty()) {
            if (auto image = load_flash(flash_path)) {
                panel.set_flash(*image);
            }
        }
        std::mutex save_mutex;
        panel.on_session_end([&] {
            std::lock_guard lock(save_mutex);
            if (!flash_path.empty()) {
                save_flash(flash_path, panel.flash());
            }
            if (report) {
                const panelsim::line_stats s = panel.take_stats();
                std::printf("session: host %ld B, panel %ld B, erases %d, writes %d, sync %d, "
                            "line limit %.1f ms\n",
                            s.host_bytes, s.panel_bytes, s.erases, s.writes, s.sync_attempts,
                            s.line_limit_ms(cfg));
                std::fflush(stdout);
            }
        });
        panel.start();
        std::printf("panelsim: panel on %s, linked at %s\n", panel.slave_path().c_str(),
                    link.c_str());
        std::fflush(stdout);

        int signal_number = 0;
        while (sigwait(&stop_signals, &signal_number) != 0) {
        }
        panel.stop();
        if (!flash_path.empty()) {
            save_flash(flash_path, panel.flash());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "panelsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
