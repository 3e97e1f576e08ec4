// GoogleTest main of the umockdev tests: the process re-executes itself under
// the umockdev preload first, so that the real USB library's file and ioctl
// calls reach the scripted FX2.
#include <gtest/gtest.h>

#include "scripted_fx2.h"

int main(int argc, char** argv) {
    fx2test::run_under_umockdev(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
