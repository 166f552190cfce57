// Preloaded into the tool by the end-to-end tests: records the calls that make a dump durable
// and put it in place, and fails one of them, or the port's lock or configuration, on demand.
//   PANELFLASH_SHIM_LOG=FILE   appends "<call> <inode>" for every sync, link and rename: the
//                              inode of the file synced, or of the file given its new name
//   PANELFLASH_SHIM_FAIL=CALL  that call fails with EIO without being made (read: as the
//                              reads of an unplugged USB adapter do)
//   PANELFLASH_SHIM_ERRNO=N    ...with error number N instead (19, ENODEV: an adapter gone)
//   PANELFLASH_SHIM_SERIAL=HEX the port has a driver with these serial flags, as a UART or a
//                              USB adapter has: TIOCGSERIAL reports them, and each TIOCSSERIAL
//                              appends "TIOCSSERIAL <flags in hex>" to the log and sets them,
//                              unless PANELFLASH_SHIM_FAIL=TIOCSSERIAL has the driver refuse
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cstdarg>

#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

bool failing(const char* call) {
    const char* chosen = std::getenv("PANELFLASH_SHIM_FAIL");
    if (chosen == nullptr || std::strcmp(chosen, call) != 0) {
        return false;
    }
    const char* error = std::getenv("PANELFLASH_SHIM_ERRNO");
    errno = error == nullptr ? EIO : std::atoi(error);
    return true;
}

void record(const char* call, bool found, const struct stat& file) {
    const char* log = std::getenv("PANELFLASH_SHIM_LOG");
    std::FILE* out = log == nullptr ? nullptr : std::fopen(log, "ae");
    if (out != nullptr) {
        std::fprintf(out, "%s %llu\n", call,
                     found ? static_cast<unsigned long long>(file.st_ino) : 0ULL);
        std::fclose(out);
    }
}

void record_fd(const char* call, int fd) {
    struct stat file {};
    record(call, fstat(fd, &file) == 0, file);
}

// The file about to be given a name: a link to /proc/self/fd/N names the open file itself.
void record_path(const char* call, int dir_fd, const char* path, int flags) {
    struct stat file {};
    record(call, fstatat(dir_fd, path, &file, flags) == 0, file);
}

// The serial flags of the pretended driver; -1 until PANELFLASH_SHIM_SERIAL is read.
long serial_flags = -1;

bool pretend_serial_driver() {
    const char* flags = std::getenv("PANELFLASH_SHIM_SERIAL");
    if (flags == nullptr) {
        return false;
    }
    if (serial_flags < 0) {
        serial_flags = std::strtol(flags, nullptr, 16);
    }
    return true;
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int fsync(int fd) {
    record_fd("fsync", fd);
    return failing("fsync") ? -1 : next<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
    record_fd("fdatasync", fd);
    return failing("fdatasync") ? -1 : next<int (*)(int)>("fdatasync")(fd);
}

int rename(const char* from, const char* to) {
    record_path("rename", AT_FDCWD, from, AT_SYMLINK_NOFOLLOW);
    return failing("rename") ? -1 : next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    record_path("renameat", from_dir, from, AT_SYMLINK_NOFOLLOW);
    return failing("renameat") ? -1
                               : next<int (*)(int, const char*, int, const char*)>("renameat")(
                                     from_dir, from, to_dir, to);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    record_path("linkat", from_dir, from, (flags & AT_SYMLINK_FOLLOW) ? 0 : AT_SYMLINK_NOFOLLOW);
    return failing("linkat") ? -1
                             : next<int (*)(int, const char*, int, const char*, int)>("linkat")(
                                   from_dir, from, to_dir, to, flags);
}

// Only the port is read with read(); the image is read through stdio, which calls the kernel
// by itself.
ssize_t read(int fd, void* buffer, size_t count) {
    return failing("read") ? -1 : next<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

int flock(int fd, int operation) {
    return failing("flock") ? -1 : next<int (*)(int, int)>("flock")(fd, operation);
}

int tcflush(int fd, int queue) {
    return failing("tcflush") ? -1 : next<int (*)(int, int)>("tcflush")(fd, queue);
}

int fchown(int fd, uid_t owner, gid_t group) {
    return failing("fchown") ? -1 : next<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int tcsetattr(int fd, int actions, const struct termios* settings) {
    return failing("tcsetattr")
               ? -1
               : next<int (*)(int, int, const struct termios*)>("tcsetattr")(fd, actions, settings);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && pretend_serial_driver()) {
        auto* serial = static_cast<serial_struct*>(argument);
        if (request == TIOCGSERIAL) {
            *serial = serial_struct{};
            serial->flags = static_cast<int>(serial_flags);
            return 0;
        }
        const char* log = std::getenv("PANELFLASH_SHIM_LOG");
        if (std::FILE* out = log == nullptr ? nullptr : std::fopen(log, "ae")) {
            std::fprintf(out, "TIOCSSERIAL %x\n", static_cast<unsigned>(serial->flags));
            std::fclose(out);
        }
        if (failing("TIOCSSERIAL")) {
            return -1;
        }
        serial_flags = serial->flags;
        return 0;
    }
    return next<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, argument);
}

} // extern "C"
