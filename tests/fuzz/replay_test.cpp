// The fuzz target's body in the ordinary test suite: its seeds make whole
// transfers, every cut and many damaged forms of them end cleanly, and every
// input kept in tests/fuzz/regressions (the fuzzer's findings) still does.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/transfer_state.h"
#include "tests/fuzz/peer_stream.h"
#include "tests/support/fixtures.h"

namespace {
std::string Feed(const std::string& input) {
    return RunPeerStream(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}
}  // namespace

TEST(PeerStream, SeedsMakeWholeTransfers) {
    for (const std::string& seed : SeedInputs()) {
        SCOPED_TRACE("role " + std::to_string(seed[0]) + ", " + std::to_string(seed.size()) + " bytes");
        EXPECT_EQ(Feed(seed), "");
        EXPECT_TRUE(transferState.transferComplete);
    }
}

TEST(PeerStream, CutAndDamagedSeedsEndCleanly) {
    int runs = 0;
    std::vector<std::string> seeds = SeedInputs();
    for (const std::string& seed : PairingSeedInputs()) seeds.push_back(seed);
    for (const std::string& seed : seeds) {
        const size_t step = seed.size() / 24 + 1;
        for (size_t cut = 3; cut < seed.size(); cut += step, ++runs)
            ASSERT_EQ(Feed(seed.substr(0, cut)), "") << "role " << int(seed[0]) << " cut at " << cut;
        std::string bytes = RandomBytes(64, static_cast<uint32_t>(seed.size()));
        for (size_t i = 0; i < 24; ++i, ++runs) {
            std::string damaged = seed;
            size_t at = 3 + (static_cast<uint8_t>(bytes[i]) * 2654435761u + i * 977u) % (damaged.size() - 3);
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << (i % 8)));
            ASSERT_EQ(Feed(damaged), "") << "role " << int(seed[0]) << " byte " << at << " flipped";
        }
    }
    EXPECT_GT(runs, 300);
}

TEST(PeerStream, RecordedFindings) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(BLOCKMEND_FUZZ_CASES, ec)) {
        if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(Feed(ReadFile(entry.path().string())), "");
    }
}
