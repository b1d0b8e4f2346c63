// The checks on values received from the peer (names, block sizes, the
// FileType word), and protocol 2's checksums and digest against their
// definitions, computed straight from xxHash.
#include <gtest/gtest.h>

#include <algorithm>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "engine/digest.h"
#include "engine/handshake.h"
#include "engine/transfer_state.h"
#include "engine/wire.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"

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

TEST(FileTypeWord, PlainWordsAndOffersAreReadAndAnythingElseIsRefused) {
    struct Case {
        uint32_t word;
        bool known;
        int32_t fileType, version;
    };
    const auto offer = [](const char* bytes) {
        return static_cast<uint32_t>(GetLittleEndian(reinterpret_cast<const uint8_t*>(bytes), 4));
    };
    const Case cases[] = {
        {0, true, 0, 1},
        {1, true, 1, 1},
        {2, true, 2, 1},
        {offer("BM\x02O"), true, 0, 2},
        {offer("BM\x02" "C"), true, 1, 2},
        {offer("BM\x07" "C"), true, 1, 7},  // a later version offered: the peer settles on the lower
        {offer("BM\x01O"), false, 0, 0},    // version 1 is the plain word
        {offer("BM\x02N"), false, 0, 0},    // a Nothing side never offers in its word
        {offer("BX\x02O"), false, 0, 0},
        {3, false, 0, 0},
        {0xFFFFFFFFu, false, 0, 0},
    };
    for (const Case& c : cases) {
        int32_t fileType = -1, version = -1;
        EXPECT_EQ(ReadFileTypeWord(c.word, &fileType, &version), c.known) << std::hex << c.word;
        if (!c.known) continue;
        EXPECT_EQ(fileType, c.fileType) << std::hex << c.word;
        EXPECT_EQ(version, c.version) << std::hex << c.word;
    }
    EXPECT_EQ(OfferWord(0, 2), offer("BM\x02O"));
    EXPECT_EQ(OfferWord(1, 2), offer("BM\x02" "C"));
}

TEST(Protocol2Checksum, FollowsItsDefinitionWhateverThePiecesTheBytesComeIn) {
    // A block's checksum is the sum of XXH3-128 of its 4 KiB chunks, each
    // seeded with its file offset, cut to 64 bits; computed here straight
    // from xxHash, and by the engine from pieces that split the chunks.
    const std::string bytes = RandomBytes(5 * 4096 + 123, 17);
    const uint64_t offset = 7 * 4096;
    uint64_t expected = 0;
    U128 expectedTerms = {0, 0};
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, bytes.size() - at);
        XXH128_hash_t term = XXH3_128bits_withSeed(bytes.data() + at, n, offset + at);
        expected += term.low64;
        expectedTerms = Add128(expectedTerms, U128{term.low64, term.high64});
    }
    for (size_t piece : {size_t(1), size_t(1000), size_t(4096), size_t(5000), bytes.size()}) {
        SCOPED_TRACE(piece);
        BlockSum sum;
        kProtocol2.BeginSum(sum, offset);
        for (size_t at = 0; at < bytes.size(); at += piece)
            kProtocol2.AddToSum(sum, reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                                std::min(piece, bytes.size() - at));
        uint8_t entry[8];
        U128 terms = kProtocol2.EndSum(sum, entry);
        EXPECT_EQ(GetLittleEndian(entry, 8), expected);
        EXPECT_TRUE(Equal128(terms, expectedTerms));
    }
}

TEST(Protocol2Checksum, EveryRoutineOfThisCpuAgrees) {
    const std::string bytes = RandomBytes(3 * 4096 + 777, 23);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    ChunkTermRoutine routines[4];
    const int n = AvailableChunkTermRoutines(routines, 4);
    ASSERT_GE(n, 1);
    const U128 expected = routines[0].sum(data, bytes.size(), 12288);
    for (int i = 1; i < n; ++i) {
        SCOPED_TRACE(routines[i].name);
        EXPECT_TRUE(Equal128(routines[i].sum(data, bytes.size(), 12288), expected));
    }
    EXPECT_STREQ(StrongHashRoutineName(), routines[n - 1].name);
}

TEST(Protocol2Digest, IsXxh3OfTheSumAndTheTwoLengths) {
    transferState.digestSum = U128{0x0123456789abcdefull, 0xfedcba9876543210ull};
    transferState.localSize = 5000;
    transferState.remoteSize = 70000;
    transferState.protocol = &kProtocol2;
    uint8_t input[32];
    PutLittleEndian(input, 0x0123456789abcdefull, 8);
    PutLittleEndian(input + 8, 0xfedcba9876543210ull, 8);
    PutLittleEndian(input + 16, 5000, 8);
    PutLittleEndian(input + 24, 70000, 8);
    XXH128_hash_t expected = XXH3_128bits(input, sizeof input);
    uint8_t digest[kDigestSize];
    ComputeDigest(digest);
    EXPECT_EQ(GetLittleEndian(digest, 8), expected.low64);
    EXPECT_EQ(GetLittleEndian(digest + 8, 8), expected.high64);
    ResetEngine();
}
