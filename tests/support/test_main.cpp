// Entry of the test programs.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/net.h"
#include "tests/support/fixtures.h"

int main(int argc, char** argv) {
#ifndef _WIN32
    // The command-line peers that the tests start speak Japanese, as the
    // window does, unless a test gives them another locale. (Windows tests
    // run under a Japanese Wine already.)
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
#endif
    testing::InitGoogleTest(&argc, argv);
    SocketsStartup();
    int result = RUN_ALL_TESTS();
    RemoveScratchFolders();
    return result;
}
