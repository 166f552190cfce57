// Checks on the paths the operations are given: the panel's own line is no file, and a link
// planted in a shared directory leads nowhere.
#include "files/path_checks.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "serial/serial_port.h"

#include <climits>
#include <cstring>

#include <unistd.h>

constexpr int MAX_LINK_DEPTH = 40; // symbolic links followed, as the kernel does

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The same file, or another node of the same device.
static bool same_device(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) {
        return a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void refuse_panel_line(const char* path) {
    struct stat line {};
    struct stat file {};
    if (stat(panel_device, &line) == 0 && stat(path, &file) == 0 && same_device(line, file)) {
        fail(EXIT_FAILED, "%s is the panel's serial line, not a file\n", path);
    }
}

// The kernel follows a link in a world-writable sticky directory, such as /tmp, only for the
// link's owner or the directory's owner. A dump's target is resolved out of the kernel's
// sight, so the rule is applied here: a link planted by another user would direct the dump
// over any file the running user may write.
static bool may_follow(const std::string& link, const struct stat& link_status) {
    struct stat directory {};
    if (stat(directory_of(link).c_str(), &directory) != 0) {
        return false;
    }
    const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
    return !shared || link_status.st_uid == geteuid() || link_status.st_uid == directory.st_uid;
}

void refuse_others_link(const std::string& link, const struct stat& link_status) {
    if (!may_follow(link, link_status)) {
        fail(EXIT_FAILED, "%s is another user's link in a shared directory, not followed\n",
             link.c_str());
    }
}

std::string resolve_links(std::string path) {
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        refuse_others_link(path, status);
        char link[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
        if (length < 0) {
            return path;
        }
        link[length] = '\0';
        path = link[0] == '/' ? std::string(link) : directory_of(path) + "/" + link;
    }
    return "";
}

bool same_file(const char* a, const char* b) {
    struct stat first {};
    struct stat second {};
    if (std::strcmp(a, b) == 0) {
        return true;
    }
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}
