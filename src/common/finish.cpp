// The end of the process, apart from the messages so that a test or a fuzz target can link
// its own in its place and go on after what would have ended the tool.
#include "common/fail.h"

#include <cstdlib>

// exit(), not _exit(): standard output is flushed and an unfinished dump is removed.
void finish(int status) {
    std::exit(status);
}
