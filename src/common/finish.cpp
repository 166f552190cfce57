// The end of the process, apart from the messages so that a test or a fuzz target can link
// its own in its place and go on after what would have ended the tool.
#include "common/fail.h"
#include "report/run_report.h"

#include <cstdlib>

// exit(), not _exit(): standard output is flushed and an unfinished dump is removed. The
// run's account, when asked for, is written last, once the status is known.
void finish(int status) {
    write_account(status);
    std::exit(status);
}
