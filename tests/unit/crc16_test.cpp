// Unit tests for the CRC-16/CCITT-FALSE routines: every routine this CPU can
// run is checked against a bit-by-bit reference over many lengths, start
// offsets and split points. Runs on the test runner's main thread.
#include "wire/crc16.h"
#include "wire/crc16_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

uint16_t ReferenceCrc16(uint16_t crc, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

using Crc16Fn = uint16_t (*)(uint16_t, const uint8_t*, size_t);

struct RoutineCase {
  const char* name;
  Crc16Fn fn;
  bool (*supported)();
};

bool Always() { return true; }

const RoutineCase kRoutines[] = {
    {"Public", Crc16Update, Always},
    {"Slice16", Crc16Slice16, Always},
#ifdef CRC16_HAVE_X86_ROUTINES
    {"Pclmul", Crc16Pclmul, Crc16CpuHasPclmul},
    {"Vpclmul256", Crc16Vpclmul256, Crc16CpuHasVpclmul256},
    {"Vpclmul512", Crc16Vpclmul512, Crc16CpuHasVpclmul512},
#endif
};

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t len) {
  std::vector<uint8_t> bytes(len);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

class Crc16RoutineTest : public testing::TestWithParam<RoutineCase> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
  }
  uint16_t Run(uint16_t crc, const uint8_t* data, size_t len) const {
    return GetParam().fn(crc, data, len);
  }
};

TEST_P(Crc16RoutineTest, CheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(Run(0xFFFF, reinterpret_cast<const uint8_t*>(text), 9), 0x29B1);
}

TEST_P(Crc16RoutineTest, EmptyInputLeavesCrcUnchanged) {
  const uint8_t byte = 0x5A;
  for (uint16_t crc : {0x0000, 0xFFFF, 0x1234, 0x8001}) {
    EXPECT_EQ(Run(crc, nullptr, 0), crc);
    EXPECT_EQ(Run(crc, &byte, 0), crc);
  }
}

// Every length up to past the largest fold stride and its tails, at
// unaligned starts, from arbitrary initial values.
TEST_P(Crc16RoutineTest, MatchesReferenceOnAllShortLengths) {
  std::mt19937 rng(1);
  const std::vector<uint8_t> buffer = RandomBytes(rng, 1200 + 64);
  for (size_t len = 0; len <= 1200; ++len) {
    const size_t offset = len % 61;
    const auto crc = static_cast<uint16_t>(rng());
    ASSERT_EQ(Run(crc, buffer.data() + offset, len),
              ReferenceCrc16(crc, buffer.data() + offset, len))
        << "len " << len << " offset " << offset;
  }
}

TEST_P(Crc16RoutineTest, MatchesReferenceOnLongRandomBuffers) {
  std::mt19937 rng(2);
  const std::vector<uint8_t> buffer = RandomBytes(rng, 5 * 4096 + 128);
  std::vector<size_t> lengths = {4095, 4096, 4097, 2 * 4096, 3 * 4096 + 1, 5 * 4096};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % (5 * 4096 + 1));
  for (size_t len : lengths) {
    const size_t offset = rng() % 128;
    const auto crc = static_cast<uint16_t>(rng());
    ASSERT_EQ(Run(crc, buffer.data() + offset, len),
              ReferenceCrc16(crc, buffer.data() + offset, len))
        << "len " << len << " offset " << offset;
  }
}

// Inputs that leave accumulators all-zero or all-ones stress the carry-less
// products differently from random data.
TEST_P(Crc16RoutineTest, MatchesReferenceOnUniformBuffers) {
  for (uint8_t fill : {0x00, 0xFF, 0x80}) {
    const std::vector<uint8_t> buffer(3 * 4096 + 7, fill);
    for (uint16_t crc : {0x0000, 0xFFFF}) {
      EXPECT_EQ(Run(crc, buffer.data(), buffer.size()),
                ReferenceCrc16(crc, buffer.data(), buffer.size()))
          << "fill " << int(fill) << " crc " << crc;
    }
  }
}

TEST_P(Crc16RoutineTest, ChunkedUpdatesMatchSingleCall) {
  std::mt19937 rng(3);
  const std::vector<uint8_t> buffer = RandomBytes(rng, 4 * 4096 + 33);
  const uint16_t whole = ReferenceCrc16(0xFFFF, buffer.data(), buffer.size());
  for (int round = 0; round < 30; ++round) {
    uint16_t crc = 0xFFFF;
    size_t pos = 0;
    while (pos < buffer.size()) {
      // Mix tiny pieces with pieces long enough for the folding paths.
      const size_t limit = (rng() % 2) ? 40 : 3000;
      const size_t piece = std::min<size_t>(rng() % limit, buffer.size() - pos);
      crc = Run(crc, buffer.data() + pos, piece);
      pos += piece;
    }
    ASSERT_EQ(crc, whole) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(AllRoutines, Crc16RoutineTest, testing::ValuesIn(kRoutines),
                         [](const testing::TestParamInfo<RoutineCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Crc16RoutineNameTest, NamesAKnownRoutine) {
  const std::string name = Crc16RoutineName();
  EXPECT_TRUE(name == "slice16" || name == "pclmulqdq" || name == "vpclmulqdq-avx2" ||
              name == "vpclmulqdq-avx512")
      << name;
}

}  // namespace
