// The standard streams as the tool needs them, whatever started it: a shell, cron, an init
// system, or a pipeline whose reader goes away.
#include "cli/standard_streams.h"

#include "common/fail.h"
#include "common/panel_constants.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

// open() hands out the lowest free number, so each of these lands where it is missing.
static void fill_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) {
            fail_system(EXIT_FAILED, "Can't open /dev/null");
        }
    }
}

void prepare_standard_streams() {
    fill_closed_standard_descriptors();
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
