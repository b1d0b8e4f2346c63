// Entry of the test programs.
#include <gtest/gtest.h>

#include "platform/net.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    SocketsStartup();
    return RUN_ALL_TESTS();
}
