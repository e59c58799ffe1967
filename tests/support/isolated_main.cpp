// Test entry point: the executable moves into a mount namespace of its own
// with an empty private /tmp before any test runs, so the programs' fixed
// paths (the slice configuration file in particular) can be used freely
// without touching the machine's files. Tests of one run share that /tmp;
// under ctest every test is a run of its own, so parallel tests never meet.
#include "isolation.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qelt_test::isolate_tmp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
