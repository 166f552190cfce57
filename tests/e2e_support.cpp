// End-to-end harness: panelsim in a temporary directory, the tool as a child process.
#include "e2e_support.h"

#include "argv.h"

#include <algorithm>
#include <string_view>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The emulator that runs target programs on this machine in a cross build, its program
// (found on PATH) and arguments; empty in a native build.
const std::vector<std::string> EMULATOR = {PANELFLASH_EMULATOR};

} // namespace

void write_file(const std::string& path, const panelsim::bytes& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

panelsim::bytes read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return panelsim::bytes(std::istreambuf_iterator<char>(file), {});
}

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string lost_three_times(const std::string& address) {
    std::string said;
    for (int lost = 0; lost < 3; ++lost) {
        said += "\nAnswer lost at " + address + ", trying again\n";
    }
    return said;
}

int count_of(const std::string& text, const std::string& what) {
    int count = 0;
    for (auto at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

panelsim::bytes with_one_sync(panelsim::bytes line) {
    constexpr std::uint8_t SYNC = 0xAA;
    const auto first = std::find(line.begin(), line.end(), SYNC);
    if (first != line.end()) {
        const auto after =
            std::find_if(first, line.end(), [](std::uint8_t b) { return b != SYNC; });
        line.erase(first + 1, after);
    }
    return line;
}

static void connect_stream(posix_spawn_file_actions_t& actions, stream how, int fd, int pipe_end) {
    if (how == stream::closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
    } else if (pipe_end >= 0) {
        posix_spawn_file_actions_adddup2(&actions, pipe_end, fd);
    }
}

// The tool starts with the signal dispositions a shell gives it, whatever the runner's are.
static void default_signals(posix_spawnattr_t& attributes) {
    sigset_t none;
    sigset_t stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&stops, signal_number);
    }
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigdefault(&attributes, &stops);
    posix_spawnattr_setsigmask(&attributes, &none);
}

std::string tool_command(const std::string& directory) {
    if (EMULATOR.empty()) {
        return PANELFLASH_LOCAL;
    }
    std::string script = "#!/bin/sh\nexec";
    for (const auto& word : EMULATOR) {
        script += " '" + word + "'";
    }
    script += std::string(" '") + PANELFLASH_LOCAL + "' \"$@\"\n";
    const std::string path = directory + "/panelflash-emulated";
    write_file(path, panelsim::bytes(script.begin(), script.end()));
    chmod(path.c_str(), 0755);
    return path;
}

// This process's environment with `settings` ("NAME=value") in place of any of the same name.
static std::vector<char*> environment_with(std::vector<std::string>& settings) {
    std::vector<char*> env;
    for (char** setting = environ; *setting != nullptr; ++setting) {
        const std::string_view current(*setting);
        const auto same_name = [&](const std::string& mine) {
            return current.substr(0, current.find('=') + 1) == mine.substr(0, mine.find('=') + 1);
        };
        if (std::none_of(settings.begin(), settings.end(), same_name)) {
            env.push_back(*setting);
        }
    }
    for (auto& mine : settings) {
        env.push_back(mine.data());
    }
    env.push_back(nullptr);
    return env;
}

namespace {

// A started tool: its process and the read ends of its output pipes (-1: not read).
struct started_tool {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::chrono::steady_clock::time_point at;
};

} // namespace

// The words that start the tool: the emulator first in a cross build. The tool runs as
// "panelflash", the name its usage text shows; through the emulator it is named by its path,
// and qemu-user takes the name from QEMU_ARGV0. A program of this machine runs as itself.
static std::vector<std::string> command_words(const std::vector<std::string>& args,
                                              const tool_setup& setup) {
    const bool emulated = !setup.native && !EMULATOR.empty();
    std::vector<std::string> words = emulated ? EMULATOR : std::vector<std::string>{};
    words.push_back(setup.native || emulated ? setup.program : "panelflash");
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

static started_tool start_tool(const std::string& directory, const std::vector<std::string>& args,
                               const tool_setup& setup) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    for (auto [how, pipe] : {std::pair{setup.out, out_pipe}, std::pair{setup.err, err_pipe}}) {
        if (how == stream::unread) {
            close(pipe[0]);
            pipe[0] = -1;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    connect_stream(actions, setup.in, STDIN_FILENO, -1);
    connect_stream(actions, setup.out, STDOUT_FILENO, out_pipe[1]);
    connect_stream(actions, setup.err, STDERR_FILENO, err_pipe[1]);
    // Moved clear of the numbers being arranged, as dup2 onto itself would keep close-on-exec.
    const int passed = setup.descriptor_3 < 0 ? -1 : fcntl(setup.descriptor_3, F_DUPFD_CLOEXEC, 10);
    if (passed >= 0) {
        posix_spawn_file_actions_adddup2(&actions, passed, 3);
    }
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawnattr_t attributes;
    default_signals(attributes);

    const bool emulated = !setup.native && !EMULATOR.empty();
    std::vector<std::string> words = command_words(args, setup);
    std::vector<char*> argv = argv_of(words);
    std::vector<std::string> settings = setup.environment;
    if (emulated) {
        settings.push_back("QEMU_ARGV0=panelflash");
    }
    std::vector<char*> env = environment_with(settings);

    started_tool tool{-1, out_pipe[0], err_pipe[0], std::chrono::steady_clock::now()};
    const int spawned = posix_spawnp(&tool.pid, emulated ? EMULATOR.front().c_str() : setup.program,
                                     &actions, &attributes, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (passed >= 0) {
        close(passed);
    }
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("posix_spawn: " + std::string(std::strerror(spawned)));
    }
    return tool;
}

// Reads the tool's output to its end, sending the setup's signal once standard output shows
// its text, and SIGKILL once the time limit has passed; what the tool printed is kept.
static void pump_output(const started_tool& tool, const tool_setup& setup, tool_run& result) {
    pollfd watch[2] = {{tool.out, POLLIN, 0}, {tool.err, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = (tool.out >= 0) + (tool.err >= 0);
    const auto deadline = tool.at + std::chrono::seconds(setup.limit_s);
    bool killed = false;
    bool signalled = false;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            kill(tool.pid, SIGKILL);
            killed = true;
        }
        if (poll(watch, 2, killed ? -1 : static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watch[i].fd < 0 || watch[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = read(watch[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(watch[i].fd);
                watch[i].fd = -1;
                --open_pipes;
            }
        }
        if (setup.signal != 0 && !signalled &&
            result.out.find(setup.signal_after) != std::string::npos) {
            kill(tool.pid, setup.signal);
            signalled = true;
        }
    }
    for (auto& w : watch) {
        if (w.fd >= 0) {
            close(w.fd);
        }
    }
}

static void reap(const started_tool& tool, tool_run& result) {
    int wstatus = 0;
    while (waitpid(tool.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tool.at).count();
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

tool_run run_tool(const std::string& directory, const std::vector<std::string>& args,
                  const tool_setup& setup) {
    const started_tool tool = start_tool(directory, args, setup);
    tool_run result;
    pump_output(tool, setup, result);
    reap(tool, result);
    return result;
}

panelsim::config faulty_read_back(int address, int reads, bool corrupt, int short_bytes) {
    panelsim::config cfg;
    cfg.fault_block = address;
    cfg.fault_reads = reads;
    cfg.fault_corrupt = corrupt;
    cfg.fault_short_bytes = short_bytes;
    return cfg;
}

panelsim::bytes random_image(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    panelsim::bytes image(length);
    for (auto& byte : image) {
        byte = static_cast<std::uint8_t>(random());
    }
    return image;
}

panelsim::flash_image holding(const panelsim::bytes& image, std::initializer_list<int> changed) {
    panelsim::flash_image flash = panelsim::default_flash();
    std::fill_n(flash.begin(), (image.size() + 63) / 64 * 64, 0x00);
    std::copy(image.begin(), image.end(), flash.begin());
    for (const int at : changed) {
        flash[static_cast<std::size_t>(at)] ^= 0x20;
    }
    return flash;
}

panelsim::bytes with_version(panelsim::bytes image, unsigned version) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "FWVER=%04x", version);
    std::copy(tag, tag + 10, image.begin() + 8);
    return image;
}

panelsim::config corrupted_byte(panelsim::fault_place place, int index, int byte,
                                std::uint8_t mask) {
    panelsim::config cfg;
    cfg.byte_faults.push_back({place, index, byte, mask});
    cfg.bad_writes = panelsim::bad_write::program;
    return cfg;
}

void e2e::SetUp() {
    dir = make_temp_dir();
}

void e2e::TearDown() {
    if (panel) {
        panel->stop();
    }
    remove_tree(dir);
}

void e2e::start_panel(const panelsim::config& cfg) {
    panel = std::make_unique<panelsim::panel>(cfg, path(PANEL_LINK_NAME));
    panel->start();
}
