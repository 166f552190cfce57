// The read-out's output file: the dump is built aside and put in place of the target only
// once it is complete, so a failed read-out never destroys or half-writes a file.
#include "cli/dump_file.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int MAX_LINK_DEPTH = 40;  // symbolic links followed, as the kernel does
constexpr int MAX_LINK_NAMES = 100; // names tried when giving the unnamed dump a name

static int dump_fd = -1;
static bool dump_unnamed = false; // O_TMPFILE: vanishes by itself if never linked
static bool dump_direct = false;  // a device or pipe, written as it stands
static char target_path[PATH_MAX];
static char dump_dir[PATH_MAX];
static char dump_base[PATH_MAX];
static char temp_path[PATH_MAX]; // a named dump that is not in place yet

[[noreturn]] static void cannot_create() {
    fail_system(EXIT_FAILED, "Can't create file");
}

[[noreturn]] static void cannot_write() {
    fail_system(EXIT_FAILED, "Can't write file");
}

// Every way out of the process goes through exit(), which runs this.
static void remove_unfinished_dump() {
    if (temp_path[0] != '\0') {
        unlink(temp_path);
    }
}

static void copy_path(char (&destination)[PATH_MAX], const std::string& source) {
    if (source.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        cannot_create();
    }
    source.copy(destination, source.size());
    destination[source.size()] = '\0';
}

static std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writing through a symbolic link replaces the file it points to, not the link.
static std::string resolve_links(std::string path) {
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        char link[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
        if (length < 0) {
            return path;
        }
        link[length] = '\0';
        path = link[0] == '/' ? std::string(link) : directory_of(path) + "/" + link;
    }
    errno = ELOOP;
    cannot_create();
}

static mode_t creation_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Temporary names stand beside the target, hidden: ".<name>.<suffix>".
static bool set_temp_path(const char* suffix) {
    const int length =
        std::snprintf(temp_path, sizeof temp_path, "%s/.%s.%s", dump_dir, dump_base, suffix);
    if (length < 0 || length >= PATH_MAX) {
        temp_path[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

static void create_named_dump() {
    if (!set_temp_path("XXXXXX")) {
        cannot_create();
    }
    dump_fd = mkostemp(temp_path, O_CLOEXEC);
    if (dump_fd < 0) {
        temp_path[0] = '\0';
        cannot_create();
    }
    std::atexit(remove_unfinished_dump);
    fchmod(dump_fd, creation_mode());
}

void create_dump_file(const char* target) {
    refuse_panel_line(target);
    const std::string path = resolve_links(target);
    copy_path(target_path, path);
    struct stat status {};
    if (stat(target_path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            errno = EISDIR;
            cannot_create();
        }
        const int probe =
            open(target_path, O_WRONLY | O_CLOEXEC | (S_ISREG(status.st_mode) ? 0 : O_TRUNC));
        if (probe < 0) {
            cannot_create();
        }
        if (!S_ISREG(status.st_mode)) {
            dump_fd = probe;
            dump_direct = true;
            return;
        }
        close(probe);
    }
    copy_path(dump_dir, directory_of(path));
    const auto slash = path.rfind('/');
    copy_path(dump_base, slash == std::string::npos ? path : path.substr(slash + 1));
    dump_fd = open(dump_dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (dump_fd >= 0) {
        dump_unnamed = true;
        return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        cannot_create();
    }
    create_named_dump();
}

void write_dump(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(dump_fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            cannot_write();
        }
        done += static_cast<std::size_t>(wrote);
    }
}

// Gives the unnamed dump a name beside the target, ready to be renamed over it.
static void name_unnamed_dump() {
    char fd_path[64];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", dump_fd);
    for (int attempt = 0; attempt < MAX_LINK_NAMES; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%d.%d", static_cast<int>(getpid()), attempt);
        if (!set_temp_path(suffix)) {
            cannot_write();
        }
        if (linkat(AT_FDCWD, fd_path, AT_FDCWD, temp_path, AT_SYMLINK_FOLLOW) == 0) {
            std::atexit(remove_unfinished_dump);
            return;
        }
        if (errno != EEXIST) {
            temp_path[0] = '\0';
            cannot_write();
        }
    }
    temp_path[0] = '\0';
    cannot_write();
}

void commit_dump_file() {
    if (dump_direct) {
        close(dump_fd);
        return;
    }
    if (fsync(dump_fd) != 0) {
        cannot_write();
    }
    if (dump_unnamed) {
        name_unnamed_dump();
    }
    if (rename(temp_path, target_path) != 0) {
        cannot_write();
    }
    temp_path[0] = '\0';
    close(dump_fd);
    const int dir_fd = open(dump_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
}
