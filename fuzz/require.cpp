// The fuzz targets' properties: a broken one ends the run as a finding, like a crash.
#include "require.h"

#include <cstdio>
#include <cstdlib>

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}
