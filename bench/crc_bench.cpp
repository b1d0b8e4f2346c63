// Throughput benchmark for the CRC-16 routines: times each routine this CPU
// can run over a 256 MiB buffer (best of several runs) and over a small
// cache-resident buffer, and prints GB/s and the routine Crc16Update uses;
// then the same for each routine of protocol 2's chunk terms (XXH3-128 of
// 4 KiB chunks).
// Single-threaded; runs on the main thread.
#include "wire/crc16.h"
#include "wire/crc16_internal.h"
#include "wire/strong_hash.h"

#include <cstdio>
#include <memory>
#include <random>
// Provides std::chrono's clocks. <chrono> itself does not compile with the
// CP932 execution charset under GCC 12: its duration printer holds a literal
// micro sign that CP932 cannot encode.
#include <thread>

namespace {

using Crc16Fn = uint16_t (*)(uint16_t, const uint8_t*, size_t);

struct BenchRoutine {
  const char* name;
  Crc16Fn fn;
  bool (*supported)();
};

bool Always() { return true; }

const BenchRoutine kRoutines[] = {
    {"slice16", Crc16Slice16, Always},
#ifdef CRC16_HAVE_X86_ROUTINES
    {"pclmulqdq", Crc16Pclmul, Crc16CpuHasPclmul},
    {"vpclmulqdq-avx2", Crc16Vpclmul256, Crc16CpuHasVpclmul256},
    {"vpclmulqdq-avx512", Crc16Vpclmul512, Crc16CpuHasVpclmul512},
#endif
    {"Crc16Update", Crc16Update, Always},
};

// Best GB/s (1e9 bytes per second) over `runs` passes of `passes` calls each.
double BestGigabytesPerSecond(Crc16Fn fn, const uint8_t* data, size_t len, int runs,
                              int passes, uint16_t* crc_out) {
  double best_seconds = 1e30;
  uint16_t crc = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < passes; ++pass) crc = fn(0xFFFF, data, len);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed.count() < best_seconds) best_seconds = elapsed.count();
  }
  *crc_out = crc;
  return static_cast<double>(len) * passes / best_seconds / 1e9;
}

}  // namespace

int main() {
  constexpr size_t kLargeSize = size_t{256} << 20;
  constexpr size_t kSmallSize = size_t{16} << 10;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kLargeSize + 1]);
  std::mt19937 rng(12345);
  for (size_t i = 0; i < kLargeSize + 1; ++i) buffer[i] = static_cast<uint8_t>(rng());
  // Start one byte in so the loads are unaligned, as with real block data.
  const uint8_t* data = buffer.get() + 1;

  std::printf("chosen routine: %s\n", Crc16RoutineName());
  std::printf("%-20s %14s %14s  %s\n", "routine", "256 MiB GB/s", "16 KiB GB/s", "crc");
  uint16_t expected = 0;
  bool all_agree = true;
  for (const BenchRoutine& r : kRoutines) {
    if (!r.supported()) {
      std::printf("%-20s %14s\n", r.name, "unsupported");
      continue;
    }
    uint16_t crc_large = 0, crc_small = 0;
    const double large = BestGigabytesPerSecond(r.fn, data, kLargeSize, 3, 1, &crc_large);
    const double small = BestGigabytesPerSecond(r.fn, data, kSmallSize, 5, 4096, &crc_small);
    if (&r == &kRoutines[0]) expected = crc_large;
    if (crc_large != expected) all_agree = false;
    std::printf("%-20s %14.2f %14.2f  0x%04X\n", r.name, large, small, crc_large);
  }
  if (!all_agree) {
    std::printf("routines disagree\n");
    return 1;
  }

  std::printf("strong hash routine: %s\n", StrongHashRoutineName());
  ChunkTermRoutine routines[kMaxChunkTermRoutines];
  const int count = AvailableChunkTermRoutines(routines, kMaxChunkTermRoutines);
  U128 expected_sum{};
  for (int i = 0; i < count; ++i) {
    double best_seconds = 1e30;
    U128 sum{};
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      sum = routines[i].sum(buffer.get(), kLargeSize, 0);
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      if (elapsed.count() < best_seconds) best_seconds = elapsed.count();
    }
    double best_small = 1e30;
    for (int run = 0; run < 5; ++run) {
      const auto start = std::chrono::steady_clock::now();
      for (int pass = 0; pass < 4096; ++pass) routines[i].sum(buffer.get(), kSmallSize, 0);
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      if (elapsed.count() < best_small) best_small = elapsed.count();
    }
    if (i == 0) expected_sum = sum;
    if (!Equal128(sum, expected_sum)) all_agree = false;
    char label[32];
    std::snprintf(label, sizeof label, "chunk terms %s", routines[i].name);
    std::printf("%-20s %14.2f %14.2f  0x%016llx\n", label, static_cast<double>(kLargeSize) / best_seconds / 1e9,
                static_cast<double>(kSmallSize) * 4096 / best_small / 1e9, static_cast<unsigned long long>(sum.lo));
  }
  if (!all_agree) {
    std::printf("chunk term routines disagree\n");
    return 1;
  }
  return 0;
}
