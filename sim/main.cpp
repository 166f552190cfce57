// panelsim: serves a simulated front panel on a pseudo-terminal until SIGINT or SIGTERM.
#include "panel_sim.h"

#include "common/panel_constants.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <getopt.h>
#include <pthread.h>

namespace {

// What the command line asks for: the panel, where its line is linked, where its flash is kept.
struct options {
    panelsim::config cfg;
    std::string link = "./frontpanel";
    std::string flash_path; // empty: the flash lives only as long as panelsim
    bool report = false;    // print the line counters after each session
    bool fault_reads_given = false;
    bool bad_writes_given = false;
};

void usage(std::FILE* out) {
    std::fputs("usage: panelsim [options]\n"
               "Serves a simulated front panel on a pseudo-terminal until interrupted.\n"
               "\n"
               "  --link PATH           where the panel's line is linked (default ./frontpanel)\n"
               "  --flash FILE          load the flash from FILE if it exists (8192 bytes) and\n"
               "                        save it there after each session and on exit\n"
               "  --version HEX         firmware version answered (default 0100)\n"
               "  --version-reply HEX   bytes sent instead of the version frame ('none': silence)\n"
               "                        until the flash is erased or written\n"
               "  --bootloader          start in the bootloader\n"
               "  --reply HEX           flash-mode reply (default 5afd; 'none': switches without\n"
               "                        an answer; any reply but 5afd and ffff: refuses and\n"
               "                        keeps running the firmware)\n"
               "  --no-sync             the bootloader never answers a sync byte\n"
               "  --sync-bytes N        bytes answered per sync byte (default 1)\n"
               "  --line                pace both directions like 115200 baud 8N1\n"
               "  --erase-ms MS         erase time with --line (default 4)\n"
               "  --write-ms MS         block write time with --line (default 4)\n"
               "  --fifo N              with --line, bytes the host's UART hands over together\n"
               "                        (default 8; 1: every byte on its own)\n"
               "  --report              print the line counters after each session\n"
               "  --stop-after N        answer nothing after N bootloader packets\n"
               "  --resume-on-request   with --stop-after, answer again from the next\n"
               "                        flash-mode request, once\n"
               "  --resume-at-request N the same from the N-th flash-mode request met by the\n"
               "                        silence (2: a run that asks again still fails, the\n"
               "                        next one gets answers)\n"
               "  --hang-up-after N     drop the line after answering N bootloader packets\n"
               "  --hang-up-on-request  drop the line instead of answering the flash-mode request\n"
               "  --noise HEX           bytes sent before every acknowledgement\n"
               "  --fault-block ADDR    block (hex address) whose read-back is faulty\n"
               "  --fault-reads N       how many reads of that block are faulty (default 1)\n"
               "  --fault-corrupt       faulty read-backs have their first byte inverted\n"
               "  --fault-short N       faulty read-backs carry only N bytes of the block\n"
               "  --bit-errors RATE     flip each data bit on the line, both ways, with this\n"
               "                        probability (1e-5: one bit in 100000); no byte is\n"
               "                        lost or added\n"
               "  --seed N              the draws of those flips (default 1): a seed gives the\n"
               "                        same flips to the same bytes in every run\n"
               "  --corrupt WHAT:K:N[:MASK]\n"
               "                        flip the bits MASK (hex, default ff) of byte N of\n"
               "                        WHAT K, counted from 0: 'packet' (bootloader packet\n"
               "                        as received), 'answer' (the panel's answer to that\n"
               "                        packet, byte 0 its acknowledgement) or 'version'\n"
               "                        (version reply); may be given more than once\n"
               "                        With either of the last two, the panel acts on what it\n"
               "                        received, as is hardest for the host: a write packet\n"
               "                        whose checksum no longer matches is programmed as\n"
               "                        received, a request or packet with a flipped byte is\n"
               "                        no longer recognised and its bytes are read as whatever\n"
               "                        the following bytes make of them (a command byte in a\n"
               "                        write's data starts a packet), and a flipped version\n"
               "                        request is not answered.\n"
               "\n"
               "What the bootloader does where the protocol leaves it open, one choice each\n"
               "(the tool must work whichever a real panel makes):\n"
               "  --stray-bytes start|drop\n"
               "                        a byte that breaks a packet (a second byte other than\n"
               "                        42): read again as the start of whatever packet it\n"
               "                        makes (start, the default), or dropped\n"
               "  --synced-sync answer|ignore\n"
               "                        a sync byte (aa) once one has been answered since\n"
               "                        flash mode began: answered (default) or ignored\n"
               "  --bootloader-request answer|ignore\n"
               "                        the flash-mode request in flash mode: answered ff ff\n"
               "                        (default) or ignored\n"
               "  --packet-timeout MS   a packet whose next byte takes longer than MS is\n"
               "                        dropped (default 0: waited for however long it takes)\n"
               "  --bad-writes ignore|program|unanswered\n"
               "                        a write packet whose checksum does not match:\n"
               "                        acknowledged and not programmed (ignore, the default),\n"
               "                        programmed as received (program, the default with\n"
               "                        --bit-errors or --corrupt), or neither (unanswered)\n"
               "\n"
               "The firmware after an exit packet:\n"
               "  --start-ms MS         the firmware answers MS after the exit packet (default\n"
               "                        10); bytes that come earlier are lost. It starts only\n"
               "                        when the flash's first two bytes are not erased (ff\n"
               "                        ff); otherwise the panel stays in its bootloader. It\n"
               "                        answers the version its flash carries as the text\n"
               "                        FWVER= and four hexadecimal digits (FWVER=0106), or\n"
               "                        --version's when the flash carries none.\n"
               "  --help                show this help\n",
               out);
}

// Every command-line error ends here, after what was wrong has been said.
[[noreturn]] void exit_usage() {
    usage(stderr);
    std::exit(EXIT_USAGE);
}

[[noreturn]] void bad_usage(const std::string& message) {
    std::fprintf(stderr, "panelsim: %s\n", message.c_str());
    exit_usage();
}

[[noreturn]] void bad_value(const char* option, const std::string& text) {
    bad_usage(std::string("bad value for --") + option + ": " + text);
}

long parse_number(const char* text, int base, long min, long max, const char* option) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
        bad_value(option, text);
    }
    return value;
}

double parse_ms(const char* text, const char* option) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0) || value > 60000.0) {
        bad_value(option, text);
    }
    return value;
}

// WHAT:K:N[:MASK], as --corrupt takes it.
panelsim::byte_fault parse_byte_fault(const std::string& text, const char* option) {
    static const std::pair<const char*, panelsim::fault_place> places[] = {
        {"packet", panelsim::fault_place::packet},
        {"answer", panelsim::fault_place::answer},
        {"version", panelsim::fault_place::version},
    };
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t colon = 0; colon != std::string::npos; start = colon + 1) {
        colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
    }
    if (fields.size() < 3 || fields.size() > 4) {
        bad_value(option, text);
    }
    panelsim::byte_fault fault;
    const auto place = std::find_if(std::begin(places), std::end(places),
                                    [&](const auto& p) { return fields[0] == p.first; });
    if (place == std::end(places)) {
        bad_value(option, text);
    }
    fault.place = place->second;
    fault.index = static_cast<int>(parse_number(fields[1].c_str(), 10, 0, 1'000'000, option));
    fault.byte = static_cast<int>(parse_number(fields[2].c_str(), 10, 0, 255, option));
    if (fields.size() == 4) {
        fault.mask = static_cast<std::uint8_t>(parse_number(fields[3].c_str(), 16, 1, 255, option));
    }
    return fault;
}

double parse_rate(const char* text, const char* option) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0) || value > 1.0) {
        bad_value(option, text);
    }
    return value;
}

// One of `names`, as the option's value; its index.
int parse_choice(const char* text, std::initializer_list<const char*> names, const char* option) {
    int index = 0;
    for (const char* name : names) {
        if (std::strcmp(text, name) == 0) {
            return index;
        }
        ++index;
    }
    bad_value(option, text);
}

panelsim::bytes parse_hex_bytes(const std::string& text, const char* option) {
    panelsim::bytes out;
    if (text == "none") {
        return out;
    }
    if (text.empty() || text.size() % 2 != 0) {
        bad_usage(std::string("bad hex bytes for --") + option + ": " + text);
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

// One long option: its name (and in messages, with "--"), whether it takes a value, and what
// it sets.
struct setting {
    const char* name;
    bool takes_value;
    void (*apply)(options& o, const char* value, const char* name);
};

const setting SETTINGS[] = {
    {"link", true, [](options& o, const char* v, const char*) { o.link = v; }},
    {"flash", true, [](options& o, const char* v, const char*) { o.flash_path = v; }},
    {"version", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.version = static_cast<std::uint16_t>(parse_number(v, 16, 0, 0xFFFF, n));
     }},
    {"version-reply", true,
     [](options& o, const char* v, const char* n) { o.cfg.version_reply = parse_hex_bytes(v, n); }},
    {"bootloader", false,
     [](options& o, const char*, const char*) { o.cfg.start_in_bootloader = true; }},
    {"reply", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.flash_mode_reply = parse_hex_bytes(v, n);
     }},
    {"no-sync", false, [](options& o, const char*, const char*) { o.cfg.sync_reply_bytes = 0; }},
    {"sync-bytes", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.sync_reply_bytes = static_cast<int>(parse_number(v, 10, 0, 64, n));
     }},
    {"line", false, [](options& o, const char*, const char*) { o.cfg.line_timing = true; }},
    {"erase-ms", true,
     [](options& o, const char* v, const char* n) { o.cfg.erase_ms = parse_ms(v, n); }},
    {"write-ms", true,
     [](options& o, const char* v, const char* n) { o.cfg.write_ms = parse_ms(v, n); }},
    {"fifo", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.host_fifo_bytes = static_cast<int>(parse_number(v, 10, 1, 64, n));
     }},
    {"report", false, [](options& o, const char*, const char*) { o.report = true; }},
    {"stop-after", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.stop_after_packets = static_cast<int>(parse_number(v, 10, 0, 1'000'000, n));
     }},
    {"resume-on-request", false,
     [](options& o, const char*, const char*) { o.cfg.resume_at_flash_request = 1; }},
    {"resume-at-request", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.resume_at_flash_request = static_cast<int>(parse_number(v, 10, 1, 1'000'000, n));
     }},
    {"hang-up-after", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.hang_up_after_packets = static_cast<int>(parse_number(v, 10, 0, 1'000'000, n));
     }},
    {"hang-up-on-request", false,
     [](options& o, const char*, const char*) { o.cfg.hang_up_on_flash_request = true; }},
    {"noise", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.noise_before_ack = parse_hex_bytes(v, n);
     }},
    {"fault-block", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.fault_block = static_cast<int>(parse_number(v, 16, 0, FLASH_SIZE - BLOCK_SIZE, n));
     }},
    {"fault-reads", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.fault_reads = static_cast<int>(parse_number(v, 10, 0, 1'000'000, n));
         o.fault_reads_given = true;
     }},
    {"fault-corrupt", false,
     [](options& o, const char*, const char*) { o.cfg.fault_corrupt = true; }},
    {"fault-short", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.fault_short_bytes = static_cast<int>(parse_number(v, 10, 0, BLOCK_SIZE, n));
     }},
    {"bit-errors", true,
     [](options& o, const char* v, const char* n) { o.cfg.bit_error_rate = parse_rate(v, n); }},
    {"seed", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.noise_seed = static_cast<std::uint64_t>(parse_number(v, 10, 0, LONG_MAX, n));
     }},
    {"corrupt", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.byte_faults.push_back(parse_byte_fault(v, n));
     }},
    {"stray-bytes", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.reread_breaking_bytes = parse_choice(v, {"start", "drop"}, n) == 0;
     }},
    {"synced-sync", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.answer_sync_when_synced = parse_choice(v, {"answer", "ignore"}, n) == 0;
     }},
    {"bootloader-request", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.answer_flash_request = parse_choice(v, {"answer", "ignore"}, n) == 0;
     }},
    {"packet-timeout", true,
     [](options& o, const char* v, const char* n) { o.cfg.packet_timeout_ms = parse_ms(v, n); }},
    {"bad-writes", true,
     [](options& o, const char* v, const char* n) {
         o.cfg.bad_writes = static_cast<panelsim::bad_write>(
             parse_choice(v, {"ignore", "program", "unanswered"}, n));
         o.bad_writes_given = true;
     }},
    {"start-ms", true,
     [](options& o, const char* v, const char* n) { o.cfg.firmware_start_ms = parse_ms(v, n); }},
    {"help", false,
     [](options&, const char*, const char*) {
         usage(stdout);
         std::exit(EXIT_SUCCESS);
     }},
};

// getopt_long returns this plus a setting's index for it; below it, an error it has reported.
constexpr int FIRST_SETTING = 256;

std::vector<option> long_options() {
    std::vector<option> list;
    for (std::size_t i = 0; i < std::size(SETTINGS); ++i) {
        list.push_back({SETTINGS[i].name, SETTINGS[i].takes_value ? required_argument : no_argument,
                        nullptr, FIRST_SETTING + static_cast<int>(i)});
    }
    list.push_back({nullptr, 0, nullptr, 0});
    return list;
}

// Reads the command line into the options; a usage error or --help ends the process here.
options read_options(int argc, char** argv) {
    const std::vector<option> long_opts = long_options();
    options o;
    int id = 0;
    while ((id = getopt_long(argc, argv, "", long_opts.data(), nullptr)) != -1) {
        if (id < FIRST_SETTING) {
            exit_usage();
        }
        const setting& s = SETTINGS[id - FIRST_SETTING];
        s.apply(o, optarg, s.name);
    }
    if (optind < argc) {
        bad_usage(std::string("unexpected argument: ") + argv[optind]);
    }
    if (o.cfg.fault_block >= 0 && !o.fault_reads_given) {
        o.cfg.fault_reads = 1;
    }
    // On a noisy line, a write programmed as received is the harder case for the host.
    const bool noisy = o.cfg.bit_error_rate > 0 || !o.cfg.byte_faults.empty();
    if (noisy && !o.bad_writes_given) {
        o.cfg.bad_writes = panelsim::bad_write::program;
    }
    return o;
}

// Blocked before the serving thread exists, so only sigwait sees them.
sigset_t block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

void report_session(const panelsim::line_stats& s, const panelsim::config& cfg) {
    std::printf("session: host %ld B, panel %ld B, erases %d, writes %d, sync %d, "
                "line limit %.1f ms\n",
                s.host_bytes, s.panel_bytes, s.erases, s.writes, s.sync_attempts,
                s.line_limit_ms(cfg));
    std::fflush(stdout);
}

// Serves the panel until SIGINT or SIGTERM, keeping its flash in the flash file if one was
// given; returns the exit status.
int serve_until_signal(const options& o) {
    const sigset_t stop_signals = block_stop_signals();
    try {
        panelsim::panel panel(o.cfg, o.link);
        if (!o.flash_path.empty()) {
            if (auto image = load_flash(o.flash_path)) {
                panel.set_flash(*image);
            }
        }
        std::mutex save_mutex;
        panel.on_session_end([&] {
            std::lock_guard lock(save_mutex);
            if (!o.flash_path.empty()) {
                save_flash(o.flash_path, panel.flash());
            }
            if (o.report) {
                report_session(panel.take_stats(), o.cfg);
            }
        });
        panel.start();
        std::printf("panelsim: panel on %s, linked at %s\n", panel.slave_path().c_str(),
                    o.link.c_str());
        std::fflush(stdout);

        int signal_number = 0;
        while (sigwait(&stop_signals, &signal_number) != 0) {
        }
        panel.stop();
        if (!o.flash_path.empty()) {
            save_flash(o.flash_path, panel.flash());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "panelsim: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char** argv) {
    return serve_until_signal(read_options(argc, argv));
}
