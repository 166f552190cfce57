// A whole run of the tool, as main runs an operation, against whatever the line may bring.
//   byte 0: bits 0-1: the operation: 0 -w, 1 -r, 2 -i, 3 -C; bit 2: -v; bit 3: the line
//           hangs up after the script; bit 4: -s
//   bytes 1-2: -w and -C: the image file's length, high byte first; byte i is
//           (i * 7 + 1) & 0xFF
//   bytes 3-4: -w: the -c version, high byte first, a signed 16-bit number (0: no -c)
//   then the script (fuzz_support.h)
#include "cli/operation.h"
#include "program/program.h"
#include "protocol/panel_protocol.h"
#include "readout/dump_file.h"

#include "fake_port.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <string>

#include <unistd.h>

using fake_port::bytes;

namespace {

struct run_setup {
    operation op = operation::program;
    bool skip_verify = false;
    bool skip_same = false;
    bool hang_up = false;
    int image_length = 0;
    std::int32_t minimum_version = 0;
};

// What the panel was told after the flash-mode request.
struct panel_view {
    std::map<int, bytes> written; // the data of the last write packet, by address
    int erases = 0;
    bool exited = false;           // the exit packet was sent
    bool asked_after_exit = false; // a version request followed the exit packet
    int reconnects = 0;            // connection sequences gone through again
    int last_change = -1;          // the packet number of the last erase or write
    std::map<int, int> last_read;  // the packet number of the last read, by address
};

} // namespace

// A folder for each input's image and dump, removed when the input is done: libFuzzer may
// end the process without running exit handlers.
static std::filesystem::path work_folder;

static void make_work_folder() {
    std::string name = std::filesystem::temp_directory_path() / "panelflash-fuzz-XXXXXX";
    require(mkdtemp(name.data()) != nullptr, "a work folder");
    work_folder = name;
}

static run_setup read_setup(std::span<const std::uint8_t>& input) {
    run_setup setup;
    const std::uint8_t flags = take_byte(input);
    constexpr operation operations[] = {operation::program, operation::read_out, operation::version,
                                        operation::compare};
    setup.op = operations[flags & 3];
    setup.skip_verify = (flags & 4) != 0;
    setup.skip_same = (flags & 16) != 0;
    setup.hang_up = (flags & 8) != 0;
    setup.image_length = take_byte(input) * 256;
    setup.image_length += take_byte(input);
    int version = take_byte(input) * 256;
    version += take_byte(input);
    if (setup.op == operation::program) {
        setup.minimum_version = static_cast<std::int16_t>(version);
    }
    return setup;
}

static std::uint8_t image_byte(int i) {
    return static_cast<std::uint8_t>((i * 7 + 1) & 0xFF);
}

static void write_image_file(int length) {
    bytes image(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) {
        image[static_cast<std::size_t>(i)] = image_byte(i);
    }
    std::ofstream(work_folder / "image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
}

// The operation as main runs it, and the status the process would end with.
static int run_tool(const run_setup& setup) {
    const std::string path =
        work_folder / (setup.op == operation::read_out ? "dump.bin" : "image.bin");
    command_line command;
    command.op = setup.op;
    command.path = path.c_str();
    command.minimum_version = setup.minimum_version;
    command.skip_verify = setup.skip_verify;
    command.skip_same = setup.skip_same;
    try {
        run_operation(command);
        return 0;
    } catch (const process_end& end) {
        return end.status;
    }
}

static bool starts_with(std::span<const std::uint8_t> line, const bytes& prefix) {
    return line.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), line.begin());
}

static int block_address(std::span<const std::uint8_t> packet) {
    const int address = packet[2] * 256 + packet[3];
    require(address % 64 == 0, "packets address whole blocks");
    return address;
}

// The connection sequence again: three zero bursts, then the flash-mode request.
static std::size_t reconnection_at_start(std::span<const std::uint8_t> line) {
    constexpr std::uint8_t request[] = {0xA5, 0x3C, 0x5E, 0x27};
    constexpr std::size_t zeros = 48;
    const bool found =
        line.size() >= zeros + 4 &&
        std::all_of(line.begin(), line.begin() + zeros, [](auto b) { return b == 0; }) &&
        std::equal(std::begin(request), std::end(request), line.begin() + zeros);
    return found ? zeros + 4 : 0;
}
static const bytes VERSION_ASKED = {0xA5, 0x00, 0x00};

static void read_packet(std::span<const std::uint8_t> packet, int number, panel_view& panel) {
    panel.exited = panel.exited || packet[0] == 0x01;
    if (packet[0] == 0x02 || packet[0] == 0x03) {
        require(!panel.exited, "nothing is erased or written after the exit packet");
        require(block_address(packet) < 0x1E00, "no erase or write at or above 0x1E00");
        panel.erases += packet[0] == 0x02;
        panel.last_change = number;
    }
    if (packet[0] == 0x03) {
        const auto data = packet.subspan(4, 64);
        const int sum = std::accumulate(data.begin(), data.end(), 0);
        require((sum & 0xFF) == packet[68], "a write packet ends with its data's sum");
        panel.written[block_address(packet)] = bytes(data.begin(), data.end());
    }
    if (packet[0] == 0x04) {
        require(block_address(packet) < 0x2000, "reads stay in the flash");
        panel.last_read[block_address(packet)] = number;
    }
}

// After the flash-mode request: whole bootloader packets, with sync bytes and filler before
// and between them and the connection sequence again after a lost answer; after the exit
// packet only sync bytes, filler, the exit packet again and version requests.
static panel_view read_packets(std::span<const std::uint8_t> line) {
    panel_view panel;
    for (int number = 0; !line.empty(); ++number) {
        if (line[0] == 0xAA || line[0] == 0xFF) {
            line = line.subspan(1);
            continue;
        }
        if (const std::size_t size = reconnection_at_start(line)) {
            require(!panel.exited && ++panel.reconnects <= 3, "at most 3 connections again");
            line = line.subspan(size);
            continue;
        }
        if (panel.exited && starts_with(line, VERSION_ASKED)) {
            panel.asked_after_exit = true;
            line = line.subspan(VERSION_ASKED.size());
            continue;
        }
        require(line.size() >= 2 && line[1] == 0x42, "after sync only bootloader packets");
        const std::size_t size = line[0] == 0x01 ? 2 : line[0] == 0x03 ? 69 : 4;
        require(line[0] >= 0x01 && line[0] <= 0x04 && line.size() >= size, "packets are whole");
        require(!panel.exited || line[0] == 0x01, "only the exit packet follows the exit packet");
        read_packet(line.first(size), number, panel);
        line = line.subspan(size);
    }
    return panel;
}

// Everything the tool wrote, as the panel hears it.
static panel_view read_line(const run_setup& setup, int status, const bytes& line) {
    bytes expected(16, 0x00);
    expected.insert(expected.end(), {0xA5, 0x00, 0x00});
    if (setup.op == operation::version) {
        require(starts_with(line, expected) && (line.size() - 16) % 3 == 0 &&
                    line.size() <= 16 + 4 * 3,
                "-i sends a zero burst and version requests, no more");
        return {};
    }
    if (line.empty()) {
        require(status == 255 && setup.image_length == 0, "only an empty image ends a run unsent");
        return {};
    }
    if (setup.minimum_version == 0) {
        expected.clear();
    }
    // The version request again, until two replies agree.
    while (setup.minimum_version != 0 && line.size() >= expected.size() + 3 &&
           std::equal(expected.end() - 3, expected.end(), line.begin() + expected.size())) {
        expected.insert(expected.end(), {0xA5, 0x00, 0x00});
    }
    if (status == 1 && setup.op == operation::program) {
        require(line == expected, "a current panel hears the version requests and no more");
        return {};
    }
    expected.insert(expected.end(), 48, 0x00);
    expected.insert(expected.end(), {0xA5, 0x3C, 0x5E, 0x27});
    require(starts_with(line, expected), "zero bursts, then the flash-mode request");
    // Up to twice more when the reply was not accepted.
    auto after = std::span(line).subspan(expected.size());
    for (int again = 0; again < 2 && starts_with(after, {0xA5, 0x3C, 0x5E, 0x27}); ++again) {
        after = after.subspan(4);
    }
    return read_packets(after);
}

// At most 32768 bytes are loaded and 7680 programmed, the last block padded with zeros.
static void check_programmed(const run_setup& setup, const panel_view& panel) {
    const int programmed = std::min({setup.image_length, 32768, 7680});
    const int blocks = (programmed + 63) / 64;
    require(setup.skip_same || panel.written.size() == static_cast<std::size_t>(blocks),
            "every block of the image is written");
    for (const auto& [address, data] : panel.written) {
        require(address < blocks * 64, "no block beyond the image is written");
        for (int i = 0; i < 64; ++i) {
            const int at = address + i;
            const std::uint8_t expected = at < setup.image_length ? image_byte(at) : 0x00;
            require(data[static_cast<std::size_t>(i)] == expected,
                    "each block is written with the image's bytes");
        }
    }
}

// Status 0 after verified programming: every block of the image and of the bootloader area
// was read after the last erase or write, whichever block that was meant for.
static void check_read_back(const run_setup& setup, const panel_view& panel) {
    const int blocks = (std::min({setup.image_length, 32768, 7680}) + 63) / 64;
    for (int address = 0; address < 0x2000; address += 64) {
        if (address < blocks * 64 || address >= 0x1E00) {
            const auto read = panel.last_read.find(address);
            require(read != panel.last_read.end() && read->second > panel.last_change,
                    "each block is read back after the last erase or write");
        }
    }
}

static void check_run(const run_setup& setup, int status, const bytes& line) {
    require(status == 0 || status == 1 || status == 2 || status == 3 || status == 4 ||
                status == 255,
            "the exit status is 0, 1, 2, 3, 4 or 255");
    const bool compared = setup.op == operation::compare;
    require(status != 1 || compared ||
                (setup.op == operation::program && setup.minimum_version != 0),
            "status 1 only with -c or -C");
    const panel_view panel = read_line(setup, status, line);
    require(status != 0 || setup.op == operation::version || panel.exited,
            "a run that ends well ends with the exit packet");
    const bool confirms = setup.op == operation::program && !setup.skip_verify;
    require(status != 4 || (confirms && panel.exited), "status 4 only after programming");
    require(status != 0 || !confirms || panel.asked_after_exit,
            "a programming run that ends well asked the panel what it runs");
    require(!compared || status != 1 || panel.exited, "a comparison leaves flash mode");
    require(!compared || (panel.written.empty() && panel.erases == 0),
            "a comparison never erases or writes");
    if (setup.op == operation::read_out) {
        const auto dump = work_folder / "dump.bin";
        require(panel.written.empty() && panel.erases == 0, "a read-out never erases or writes");
        require(std::filesystem::exists(dump) == (status == 0),
                "a dump only from a read-out that ends well");
        require(status != 0 || std::filesystem::file_size(dump) == 8192,
                "a dump holds the 8192 bytes of flash");
    }
    if (setup.op == operation::program && status == 0) {
        check_programmed(setup, panel);
        if (!setup.skip_verify && (!setup.skip_same || panel.last_change >= 0)) {
            check_read_back(setup, panel);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const run_setup setup = read_setup(input);
    fake_port::reset();
    reset_frame_receiver();
    reset_recovery();
    reset_image();
    make_work_folder();
    if (setup.op == operation::program || setup.op == operation::compare) {
        write_image_file(setup.image_length);
    }
    feed_port(input, setup.hang_up);
    const int status = run_tool(setup);
    // What the end of the process does to a dump that was not put in place.
    reset_dump_file();
    check_run(setup, status, fake_port::written());
    std::filesystem::remove_all(work_folder);
    return 0;
}
