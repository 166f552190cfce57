// The directory a dump is made in, and a link's directory whose sharing decides whether it
// is followed.
#include "files/path_checks.h"

#include <gtest/gtest.h>

TEST(path_checks, the_directory_of_a_name_is_what_comes_before_its_last_slash) {
    EXPECT_EQ(directory_of("dump.bin"), ".");
    EXPECT_EQ(directory_of("/dump.bin"), "/");
    EXPECT_EQ(directory_of("/tmp/out/dump.bin"), "/tmp/out");
}
