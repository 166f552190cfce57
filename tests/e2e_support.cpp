// End-to-end harness: panelsim in a temporary directory, the tool as a child process.
#include "e2e_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/panelflash-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

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

tool_run run_tool(const std::string& directory, const std::vector<std::string>& args, int limit_s) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());

    std::vector<std::string> words = {"panelflash"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const auto started = std::chrono::steady_clock::now();
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, PANELFLASH_LOCAL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("posix_spawn: " + std::string(std::strerror(spawned)));
    }

    tool_run result;
    pollfd watch[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    const auto deadline = started + std::chrono::seconds(limit_s);
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(watch, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
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
    }
    for (auto& w : watch) {
        if (w.fd >= 0) {
            close(w.fd);
        }
    }
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
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
