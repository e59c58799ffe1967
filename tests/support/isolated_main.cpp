// Test entry point: every test of the executable runs in a mount namespace
// of its own with an empty private /tmp, so the programs' fixed paths
// (the slice configuration file in particular) can be used freely without
// touching the machine's files or another test's.
#include "isolation.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qelt_test::isolate_tmp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
