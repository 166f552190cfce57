// The read-out's output file: the dump is built aside and put in place of the target only
// once it is complete, so a failed read-out never destroys or half-writes a file.
#include "readout/dump_file.h"

#include "common/fail.h"
#include "common/process_end.h"
#include "files/path_checks.h"
#include "common/panel_constants.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int MAX_TEMP_NAMES = 100; // hidden names tried beside the target

static int dump_fd = -1;
static int dir_fd = -1;           // the target's directory; the names below are relative to it
static bool dump_unnamed = false; // O_TMPFILE: vanishes by itself if never linked
static bool dump_direct = false;  // a device or pipe, written as it stands
static long name_max = NAME_MAX;  // longest name the target's directory takes
static char target_name[PATH_MAX];
static char temp_name[PATH_MAX];
static volatile std::sig_atomic_t temp_exists = 0; // a named dump that is not in place yet

[[noreturn]] static void cannot_create(int error) {
    fail_error(EXIT_FAILED, error, "Can't create file");
}

[[noreturn]] static void cannot_write(int error) {
    fail_error(EXIT_FAILED, error, "Can't write file");
}

// Every way out of the process runs this: exit() and the stop signals alike.
static void remove_unfinished_dump() {
    if (temp_exists) {
        unlinkat(dir_fd, temp_name, 0);
    }
}

static mode_t creation_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A replaced dump keeps the old one's permission bits, and its owner and group as far as the
// running user may give them; a new one gets what plain creation would give it.
static void set_dump_attributes(const struct stat* replaced) {
    if (replaced == nullptr) {
        fchmod(dump_fd, creation_mode());
        return;
    }
    if (fchown(dump_fd, replaced->st_uid, replaced->st_gid) != 0) {
        // Only a privileged user gives files away; others may still hand it to their group.
        static_cast<void>(fchown(dump_fd, static_cast<uid_t>(-1), replaced->st_gid) == 0);
    }
    fchmod(dump_fd, replaced->st_mode & 0777);
}

// Hidden names beside the target, ".<name>.<pid>.<n>", the target's name cut short where the
// whole would be longer than the directory takes.
static void set_temp_name(int attempt) {
    char suffix[32];
    const int suffix_length =
        std::snprintf(suffix, sizeof suffix, ".%d.%d", static_cast<int>(getpid()), attempt);
    const long room = std::max(0L, name_max - 1 - suffix_length);
    const int kept = static_cast<int>(std::min(room, static_cast<long>(std::strlen(target_name))));
    std::snprintf(temp_name, sizeof temp_name, ".%.*s%s", kept, target_name, suffix);
}

// Puts the dump under the first free hidden name; `place` makes the name or fails with errno.
// The name is made with the stop signals held, so that their handler never finds the file
// without its record or the record without its file. Returns 0, or the error that stopped it.
static int take_temp_name(int (*place)(const char* name)) {
    for (int attempt = 0; attempt < MAX_TEMP_NAMES; ++attempt) {
        set_temp_name(attempt);
        const sigset_t previous = hold_stop_signals();
        temp_exists = place(temp_name) >= 0;
        const int error = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (temp_exists) {
            return 0;
        }
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

static int create_named_file(const char* name) {
    dump_fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return dump_fd;
}

static int link_unnamed_file(const char* name) {
    char fd_path[64];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", dump_fd);
    return linkat(AT_FDCWD, fd_path, dir_fd, name, AT_SYMLINK_FOLLOW);
}

// Names are taken relative to the directory, so a target path near PATH_MAX leaves room for
// a temporary name beside it; only the name itself must fit the directory.
static void open_target_directory(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        cannot_create(EISDIR);
    }
    dir_fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        cannot_create(errno);
    }
    const long limit = fpathconf(dir_fd, _PC_NAME_MAX);
    name_max = limit > 0 && limit < PATH_MAX ? limit : NAME_MAX;
    if (static_cast<long>(name.size()) > name_max) {
        cannot_create(ENAMETOOLONG);
    }
    name.copy(target_name, name.size());
    target_name[name.size()] = '\0';
}

// Builds that test the fallback pretend to be on a file system without unnamed files.
static int open_unnamed_file() {
#ifdef PANELFLASH_NO_UNNAMED_FILES
    errno = EOPNOTSUPP;
    return -1;
#else
    return openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
}

// Builds the dump as an unnamed file where the file system has them, under a hidden name
// where it has not (vfat, NFS, CIFS).
static void create_beside(const std::string& path, const struct stat* replaced) {
    open_target_directory(path);
    at_process_end(remove_unfinished_dump);
    dump_fd = open_unnamed_file();
    dump_unnamed = dump_fd >= 0;
    if (!dump_unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        cannot_create(errno);
    }
    if (!dump_unnamed) {
        if (const int error = take_temp_name(create_named_file); error != 0) {
            cannot_create(error);
        }
    }
    set_dump_attributes(replaced);
}

// A device, a pipe or a socket is written as it stands, and the kernel follows the links to
// it: /proc/self/fd/N names a pipe that no path leads to.
static void open_direct(const char* target) {
    dump_fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (dump_fd < 0) {
        cannot_create(errno);
    }
    dump_direct = true;
}

// A dump on standard output (-r /dev/stdout, or any name of the file or pipe it is) must be
// only the dump: the messages of the run go to standard error instead, as tar -f - does.
// Standard output is moved only once the dump's own descriptor is open, since its name may
// lead through /proc/self/fd/1.
static void keep_standard_output_for_the_dump(const struct stat& target) {
    struct stat out {};
    if (fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == target.st_dev &&
        out.st_ino == target.st_ino) {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
}

void create_dump_file(const char* target) {
    refuse_panel_line(target);
    if (target[0] == '\0') {
        cannot_create(ENOENT);
    }
    // Writing through a symbolic link replaces the file it points to, not the link.
    const std::string path = resolve_links(target);
    if (path.empty()) {
        cannot_create(ELOOP);
    }
    struct stat status {};
    if (stat(target, &status) != 0) {
        if (errno != ENOENT) {
            cannot_create(errno);
        }
        create_beside(path, nullptr);
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        cannot_create(EISDIR);
    }
    if (S_ISREG(status.st_mode)) {
        // Replacing needs no permission on the file itself; writing it, as asked, does.
        const int probe = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (probe < 0) {
            cannot_create(errno);
        }
        close(probe);
        create_beside(path, &status);
    } else {
        open_direct(target);
    }
    keep_standard_output_for_the_dump(status);
}

void write_dump(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(dump_fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            cannot_write(errno);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

void commit_dump_file() {
    if (dump_direct) {
        close(dump_fd);
        dump_fd = -1;
        return;
    }
    if (fsync(dump_fd) != 0) {
        cannot_write(errno);
    }
    if (dump_unnamed) {
        if (const int error = take_temp_name(link_unnamed_file); error != 0) {
            cannot_write(error);
        }
    }
    const sigset_t previous = hold_stop_signals();
    temp_exists = renameat(dir_fd, temp_name, dir_fd, target_name) != 0;
    const int error = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (temp_exists) {
        cannot_write(error);
    }
    close(dump_fd);
    fsync(dir_fd);
    close(dir_fd);
    dump_fd = -1;
    dir_fd = -1;
}

void reset_dump_file() {
    remove_unfinished_dump();
    temp_exists = 0;
    for (int* fd : {&dump_fd, &dir_fd}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
    dump_unnamed = false;
    dump_direct = false;
}
