// Entry of the test programs.
#include <gtest/gtest.h>

#include "platform/net.h"
#include "tests/support/fixtures.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    SocketsStartup();
    int result = RUN_ALL_TESTS();
    RemoveScratchFolders();
    return result;
}
