// The account of a run that --json writes: what it did and met, as one JSON document that is
// in place whole or not at all, however the run ends.
#include "report/run_report.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "common/process_end.h"
#include "files/path_checks.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* account_path = nullptr; // as given, for messages
static int account_fd = -1;                // a descriptor of the process the name stands for
static char account_target[PATH_MAX];      // the file the account replaces, links followed
static char temp_path[PATH_MAX];
static volatile std::sig_atomic_t temp_exists = 0; // an account not renamed into place yet

const char* tool_version() {
    return "panelflash " PANELFLASH_VERSION;
}

// The descriptor a name stands for (/dev/stdout, /dev/fd/3, /proc/self/fd/3); -1 for a
// name of a file. Written through such a name, a descriptor's file would be overwritten from
// its start, or replaced, instead of continued.
static int descriptor_named(const char* path) {
    if (std::strcmp(path, "/dev/stdout") == 0) {
        return STDOUT_FILENO;
    }
    if (std::strcmp(path, "/dev/stderr") == 0) {
        return STDERR_FILENO;
    }
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t length = std::strlen(prefix);
        if (std::strncmp(path, prefix, length) == 0 && path[length] != '\0' &&
            std::strspn(path + length, "0123456789") == std::strlen(path + length)) {
            return std::atoi(path + length);
        }
    }
    return -1;
}

void prepare_account(const char* path, const char* operation_path) {
    if (path == nullptr) {
        return;
    }
    if (operation_path != nullptr && same_file(path, operation_path)) {
        fail_stderr(EXIT_USAGE, "--json %s names the operation's own file\n", path);
    }
    refuse_panel_line(path);
    account_fd = descriptor_named(path);
    if (account_fd < 0) {
        const std::string target = resolve_links(path);
        if (target.empty() || target.size() >= sizeof account_target) {
            fail_error(EXIT_FAILED, target.empty() ? ELOOP : ENAMETOOLONG, "Can't create %s", path);
        }
        target.copy(account_target, target.size());
        account_target[target.size()] = '\0';
        // A script finds this run's account there afterwards, or none: never an earlier one.
        struct stat earlier {};
        if (stat(account_target, &earlier) == 0 && S_ISREG(earlier.st_mode)) {
            unlink(account_target);
        }
    }
    account_path = path;
}

// What a status means, in the words of the manual's table.
static const char* meaning_of(int status) {
    const bool compared =
        report.operation != nullptr && std::strcmp(report.operation, "compare") == 0;
    switch (status) {
    case EXIT_DONE:
        return "the operation completed";
    case EXIT_VERSION_CURRENT:
        return compared ? "the panel does not hold the image"
                        : "the panel's firmware is not older than the -c version; nothing "
                          "programmed";
    case EXIT_NO_SYNC:
        return "the panel's bootloader did not synchronise";
    case EXIT_NO_PANEL:
        return "the panel cannot be reached or stopped answering";
    case EXIT_NOT_RUNNING:
        return "the panel does not run the image after programming";
    case EXIT_USAGE:
        return "command-line error";
    default:
        return "file or verification failure";
    }
}

// The length of the valid UTF-8 sequence at `text`, 0 when it is not one.
static int utf8_length(const unsigned char* text) {
    const int length = text[0] >= 0xF0 ? 4 : text[0] >= 0xE0 ? 3 : text[0] >= 0xC0 ? 2 : 0;
    for (int i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return text[0] >= 0xF8 ? 0 : length;
}

// `text` as a JSON string; a byte that is not UTF-8 (a file name may hold any) becomes U+FFFD.
static std::string json_string(const char* text) {
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (auto at = reinterpret_cast<const unsigned char*>(text); *at != 0;) {
        if (*at == '"' || *at == '\\') {
            out += '\\';
            out += static_cast<char>(*at++);
        } else if (*at < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *at++);
            out += escaped;
        } else if (*at < 0x80) {
            out += static_cast<char>(*at++);
        } else if (const int length = utf8_length(at); length > 0) {
            out.append(reinterpret_cast<const char*>(at), static_cast<std::size_t>(length));
            at += length;
        } else {
            out += "\\ufffd";
            ++at;
        }
    }
    return out + "\"";
}

static std::string json_version(bool known, int version) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(version));
    return known ? json_string(text) : "null";
}

static const char* entry_name(entry_mode entered) {
    switch (entered) {
    case entry_mode::from_firmware:
        return "firmware";
    case entry_mode::from_bootloader:
        return "bootloader";
    case entry_mode::none:
        break;
    }
    return nullptr;
}

std::string account_json(int status, double line_seconds) {
    const bool image = report.image_format != nullptr;
    const int blocks = (std::min(report.image_length, APP_AREA_SIZE) + BLOCK_SIZE - 1) / BLOCK_SIZE;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", line_seconds);
    const std::pair<const char*, std::string> members[] = {
        {"tool", json_string(tool_version())},
        {"operation", json_string(report.operation)},
        {"status", std::to_string(status)},
        {"status_meaning", json_string(meaning_of(status))},
        {"message", json_string(report.message[0] != 0 ? report.message : nullptr)},
        {"device", json_string(report.device)},
        {"path", json_string(report.path)},
        {"image_format", json_string(report.image_format)},
        {"image_length", image ? std::to_string(report.image_length) : "null"},
        {"image_blocks", image ? std::to_string(blocks) : "null"},
        {"version_before", json_version(report.version_before_known, report.version_before)},
        {"version_after", json_version(report.version_after_known, report.version_after)},
        {"entered_from", json_string(entry_name(report.entered))},
        {"blocks_programmed", std::to_string(report.blocks_programmed)},
        {"blocks_held", std::to_string(report.blocks_held)},
        {"blocks_reprogrammed", std::to_string(report.blocks_reprogrammed)},
        {"blocks_differing", std::to_string(report.blocks_differing)},
        {"reads_repeated", std::to_string(report.reads_repeated)},
        {"answers_lost", std::to_string(report.answers_lost)},
        {"reconnections", std::to_string(report.reconnections)},
        {"line_seconds", line_seconds < 0 ? "null" : seconds},
    };
    std::string json = "{\n";
    for (const auto& [name, value] : members) {
        json += std::string("  \"") + name + "\": " + value + ",\n";
    }
    json.erase(json.size() - 2, 1); // the last member's comma
    return json + "}\n";
}

// Every way out of the process runs this: exit() and the stop signals alike.
static void remove_unfinished_account() {
    if (temp_exists) {
        unlink(temp_path);
    }
}

static bool write_whole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// A device or a pipe is written as it stands.
static bool write_in_place(const std::string& text) {
    const int fd = open(account_target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    const bool written = fd >= 0 && write_whole(fd, text);
    return (fd < 0 || close(fd) == 0) && written;
}

static bool write_beside(const std::string& text) {
    if (std::snprintf(temp_path, sizeof temp_path, "%s.XXXXXX", account_target) >=
        static_cast<int>(sizeof temp_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const sigset_t previous = hold_stop_signals();
    const int fd = mkostemp(temp_path, O_CLOEXEC);
    temp_exists = fd >= 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        return false;
    }
    at_process_end(remove_unfinished_account);
    const mode_t mask = umask(0);
    umask(mask);
    const bool written = fchmod(fd, 0666 & ~mask) == 0 && write_whole(fd, text);
    if (close(fd) != 0 || !written || rename(temp_path, account_target) != 0) {
        const int error = errno;
        remove_unfinished_account();
        temp_exists = 0;
        errno = error;
        return false;
    }
    temp_exists = 0;
    return true;
}

void write_account(int status) {
    if (account_path == nullptr) {
        return;
    }
    const std::string text = account_json(status, line_seconds());
    std::fflush(stdout);
    struct stat target {};
    const bool in_place = stat(account_target, &target) == 0 && !S_ISREG(target.st_mode);
    const bool written = account_fd >= 0 ? write_whole(account_fd, text)
                         : in_place      ? write_in_place(text)
                                         : write_beside(text);
    if (!written) {
        std::fflush(stdout);
        std::fprintf(stderr, "Can't write the run's account to %s: %s\n", account_path,
                     std::strerror(errno));
    }
}
