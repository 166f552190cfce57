// The end of the process for the fuzz targets: thrown, and caught by the target, which goes
// on with the next input. The failure helpers print their messages as in the tool.
#include "common/fail.h"

#include "fuzz_support.h"

void finish(int status) {
    throw process_end{status};
}
