// The checks on values received from the peer (names, block sizes, the
// FileType word), and protocol 2's checksums and digest against their
// definitions, computed straight from xxHash.
#include <gtest/gtest.h>

#include <algorithm>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "engine/digest.h"
#include "engine/transfer_state.h"
#include "wire/block_size.h"
#include "wire/messages.h"
#include "wire/pairing.h"
#include "wire/protocol.h"
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

// UTF-8 names (protocol 2) are walked as UTF-8: "\xC4\x81" (a macron a)
// ends in a byte that code page 932 would take for a lead byte. (Test
// sources hold code page 932 literals, so UTF-8 is spelled in bytes.)
TEST(ReceivedName, Utf8NamesPassAndControlCharactersDoNot) {
    for (const char* good : {"r\xC3\xA9sum\xC3\xA9.txt", "\xE2\x82\xAC 1.txt", "\xF0\x9F\x98\x80", "\xC4\x81"}) {
        EXPECT_TRUE(IsBareFileName(good, true)) << good;
        EXPECT_FALSE(IsBareFileName(std::string(good) + "/x", true)) << good;
    }
    for (const char* bad : {"a\tb", "a\xC2\x85" "b", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xC4\x81/", "CON.\xC3\xA9"})
        EXPECT_FALSE(IsBareFileName(bad, true)) << bad;
    // In code page 932, a lead byte's second half is never a control character.
    EXPECT_FALSE(IsBareFileName("\x83\t.txt"));
}

TEST(PairingCode, SpacesAndDashesDoNotCountAndCodesAreUtf8) {
    struct Case {
        const char* typed;
        CodeCheck check;
        const char* bytes;
    } cases[] = {
        {"4821-0937-5512-6630", CodeCheck::kOk, "4821093755126630"},
        {"4821 0937 5512 6630", CodeCheck::kOk, "4821093755126630"},
        {"4821093755126630", CodeCheck::kOk, "4821093755126630"},
        {"caf\xC3\xA9-secret", CodeCheck::kOk, "caf\xC3\xA9secret"},
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", CodeCheck::kOk, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
        {"ab-cd e", CodeCheck::kTooShort, ""},
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", CodeCheck::kTooShort, ""},
        {"abcdef\x83", CodeCheck::kNotText, ""},
    };
    for (const Case& c : cases) {
        std::string bytes;
        EXPECT_EQ(CodeBytes(c.typed, &bytes), c.check) << c.typed;
        if (c.check == CodeCheck::kOk) {
            EXPECT_EQ(bytes, c.bytes) << c.typed;
        }
    }
    std::string bytes;
    EXPECT_EQ(CodeBytes(std::string(256, 'x'), &bytes), CodeCheck::kTooLong);
}

TEST(BlockSizeLadder, ThirteenSizesTheirSuggestionsAndCounts) {
    for (int i = 0; i < kBlockSizeCount; ++i) {
        EXPECT_TRUE(IsValidBlockSize(BlockSizeAt(i)));
        EXPECT_EQ(BlockSizeIndex(BlockSizeAt(i)), i);
    }
    EXPECT_EQ(BlockSizeAt(0), 4096u);
    EXPECT_EQ(BlockSizeAt(kBlockSizeCount - 1), 16777216u);
    for (uint64_t size : {0ull, 1ull, 2048ull, 4095ull, 4097ull, 12288ull, 33554432ull, 16777217ull, 0x80000000ull,
                          0xFFFFFFFFull, 0x100001000ull}) {
        EXPECT_FALSE(IsValidBlockSize(size)) << size;
        EXPECT_EQ(BlockSizeIndex(size), -1) << size;
    }
    // 128 to 256 blocks from 512 KiB on; 4096 below; 16 MiB from 4 GiB on.
    const std::pair<uint64_t, uint32_t> suggestions[] = {
        {0, 4096}, {524287, 4096}, {524288, 4096}, {1048575, 4096}, {1048576, 8192},
        {(1ull << 31) - 1, 8388608}, {1ull << 31, 16777216}, {1ull << 40, 16777216}, {~0ull >> 1, 16777216}};
    for (auto [fileSize, size] : suggestions) EXPECT_EQ(BlockSizeAt(SuggestBlockSizeIndex(fileSize)), size) << fileSize;
    // The passes: 16 MiB, 256 KiB, 4096; never below 4096.
    EXPECT_EQ(NextFinerBlockSize(16777216), 262144u);
    EXPECT_EQ(NextFinerBlockSize(262144), 4096u);
    EXPECT_EQ(NextFinerBlockSize(131072), 4096u);
    EXPECT_EQ(NextFinerBlockSize(4096), 4096u);
    EXPECT_EQ(BlockCount(0, 4096), 0u);
    EXPECT_EQ(BlockCount(4096, 4096), 1u);
    EXPECT_EQ(BlockCount(4097, 4096), 2u);
    EXPECT_EQ(BlockCount(~0ull, 4096), 1ull << 52);
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
    // Each of XXH3's paths: a short last chunk (up to 240 bytes, no vector
    // code), a long one, offset 0 (the default secret) and a seeded secret
    // from an offset beyond 32 bits, data that starts off any vector
    // boundary.
    struct Case {
        size_t length;
        uint64_t offset;
        size_t misalign;
    };
    const Case cases[] = {
        {3 * 4096 + 777, 12288, 0}, {4096, 0, 0}, {2 * 4096 + 200, 0x100000000ull + 4096, 1}, {241, 7, 3}, {16, 4096, 0},
    };
    const std::string bytes = RandomBytes(4 * 4096 + 8, 23);
    ChunkTermRoutine routines[kMaxChunkTermRoutines];
    const int n = AvailableChunkTermRoutines(routines, kMaxChunkTermRoutines);
    ASSERT_GE(n, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data()) + c.misalign;
        const U128 expected = routines[0].sum(data, c.length, c.offset);
        for (int i = 1; i < n; ++i) {
            SCOPED_TRACE(routines[i].name);
            EXPECT_TRUE(Equal128(routines[i].sum(data, c.length, c.offset), expected));
        }
    }
    EXPECT_STREQ(StrongHashRoutineName(), routines[n - 1].name);
}

TEST(Protocol2Digest, KnownValuesAndEveryInputCounts) {
    // The digest of a fixed sum and lengths, as peers of every build must
    // compute it, in both forms; and a change of any one input changes it.
    auto digestOf = [](U128 sum, uint64_t local, uint64_t remote, bool readWhole) {
        transferState.digestSum = sum;
        transferState.localSize = local;
        transferState.remoteSize = remote;
        transferState.verifyWholeFiles = readWhole;
        transferState.link.protocol = &kProtocol2;
        uint8_t digest[kDigestSize];
        ComputeDigest(digest);
        return std::string(reinterpret_cast<const char*>(digest), kDigestSize);
    };
    const U128 sum{0x0123456789abcdefull, 0xfedcba9876543210ull};
    const std::string plain = digestOf(sum, 5000, 70000, false);
    EXPECT_EQ(plain, std::string("\xfd\x35\x0d\x35\x34\x48\xcb\x2f\xf5\xb5\x4d\xf2\xc4\x79\x64\xd5", 16));
    EXPECT_EQ(digestOf(sum, 5000, 70000, true),
              std::string("\xab\x0f\xc1\xb1\x35\xa6\x75\x96\xb7\xaf\x87\x0e\xa7\x5e\x23\xeb", 16));
    // The compared and the whole length count, not which side holds which.
    EXPECT_EQ(digestOf(sum, 70000, 5000, false), plain);
    EXPECT_NE(digestOf(U128{sum.lo ^ 1, sum.hi}, 5000, 70000, false), plain);
    EXPECT_NE(digestOf(U128{sum.lo, sum.hi ^ (1ull << 63)}, 5000, 70000, false), plain);
    EXPECT_NE(digestOf(sum, 5001, 70000, false), plain);
    EXPECT_NE(digestOf(sum, 5000, 70001, false), plain);
    ResetEngine();
}
