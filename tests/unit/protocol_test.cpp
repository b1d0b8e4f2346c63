// The checks on values received from the peer: names and block sizes.
#include <gtest/gtest.h>

#include "engine/handshake.h"

TEST(ReceivedName, OnlyBareFileNamesPass) {
    for (const char* good : {"data.bin", "a", "...x", "COM0", "LPT10", "consul.txt", "a b.txt",
                             "ソ.txt", "表示", "ソ"}) {
        EXPECT_TRUE(IsBareFileName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "..\\..\\x", "../x", "a/b", "C:\\x", "C:x", "x:", "CON", "con",
                            "Con.txt", "con.txt.bak", "PRN", "AUX.log", "NUL", "COM1", "com9.dat", "LPT1", "lpt9.x", "a\tb",
                            "a\x7f", "\x83"}) {
        EXPECT_FALSE(IsBareFileName(bad)) << bad;
    }
}

TEST(ReceivedBlockSize, OnlyTheThirteenSizesPass) {
    for (uint32_t size = 4096; size <= 16777216; size <<= 1) EXPECT_TRUE(IsValidBlockSize(size)) << size;
    for (uint32_t size : {0u, 1u, 2048u, 4095u, 4097u, 12288u, 33554432u, 16777217u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_FALSE(IsValidBlockSize(size)) << size;
}
