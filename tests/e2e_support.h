// End-to-end harness: a panelsim panel in a temporary directory and the panelsim build of
// the tool run there as a child process, its output and status captured.
#pragma once

#include "panel_sim.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct tool_run {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    double seconds = 0;
};

// What one of the tool's standard descriptors is: kept (input inherited, output captured),
// closed, or a pipe whose reader has gone.
enum class stream { kept, closed, unread };

struct tool_setup {
    stream in = stream::kept;
    stream out = stream::kept;
    stream err = stream::kept;
    int descriptor_3 = -1;    // handed to the tool as its descriptor 3
    std::string signal_after; // once standard output shows this text...
    int signal = 0;           // ...the tool gets this signal
    int limit_s = 60;         // killed after this long
    const char* program = PANELFLASH_LOCAL;
    bool native = false;                  // a program of this machine, never emulated
    std::vector<std::string> environment; // "NAME=value" settings added for the run
};

// The command that runs the panelsim build of the tool on this machine: its path, or in a
// cross build a script in `directory` that starts it through the emulator.
std::string tool_command(const std::string& directory);

// Runs the tool with `args` in `directory` as `setup` says and waits for it.
tool_run run_tool(const std::string& directory, const std::vector<std::string>& args,
                  const tool_setup& setup = {});

void write_file(const std::string& path, const panelsim::bytes& content);
// `length` bytes drawn from `seed`.
panelsim::bytes random_image(std::size_t length, unsigned seed);
// The default flash with `image` over its start, padded with zeros to whole blocks, and the
// bytes at `changed` flipped.
panelsim::flash_image holding(const panelsim::bytes& image,
                              std::initializer_list<int> changed = {});

// `image` carrying its firmware version as panelsim's firmware reads it (FWVER=hhhh at 8).
panelsim::bytes with_version(panelsim::bytes image, unsigned version);
panelsim::bytes read_file(const std::string& path);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);

// A panel whose read-back of the block at `address` is faulty `reads` times: its first byte
// inverted, or only `short_bytes` of the block sent (-1: all of them).
panelsim::config faulty_read_back(int address, int reads, bool corrupt, int short_bytes = -1);

// A panel whose line flips the bits `mask` of byte `byte` of the `index`-th packet, answer
// to a packet, or version reply (all from 0).
panelsim::config corrupted_byte(panelsim::fault_place place, int index, int byte,
                                std::uint8_t mask = 0xFF);

// What the tool says when three answers in a row at `address` are lost: the third leads to
// the connection sequence, and a fourth ends a run whose panel answered nothing.
std::string lost_three_times(const std::string& address);

// Counts non-overlapping occurrences of `what` in `text`.
int count_of(const std::string& text, const std::string& what);

// The line with its first run of sync bytes (0xAA) cut to one. The tool repeats the byte
// until an answer arrives within its 10 ms window, and on a busy machine panelsim's answer
// can come later than that: how many went out is timing, not protocol.
panelsim::bytes with_one_sync(panelsim::bytes line);

class e2e : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a panel with `cfg` linked where the tool looks for its device.
    void start_panel(const panelsim::config& cfg = {});
    tool_run run(const std::vector<std::string>& args, const tool_setup& setup = {}) {
        return run_tool(dir, args, setup);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // Stops the panel so that every byte the tool sent has been seen.
    void settle() { panel->stop(); }

    std::string dir;
    std::unique_ptr<panelsim::panel> panel;
};
