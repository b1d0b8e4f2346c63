// libFuzzer entry: arbitrary bytes as the peer's stream to a side in each
// role (see peer_stream.h). Any broken rule after a run aborts, which the
// fuzzer reports as a crash with the input that caused it. With
// BLOCKMEND_FUZZ_SEEDS=DIR set, the well-formed seed inputs are written
// into DIR first.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/fuzz/peer_stream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = getenv("BLOCKMEND_FUZZ_SEEDS")) {
        int n = 0;
        std::vector<std::string> seeds = SeedInputs();
        for (const std::string& seed : PairingSeedInputs()) seeds.push_back(seed);
        for (const std::string& seed : seeds) {
            std::ofstream out(std::string(dir) + "/seed-" + std::to_string(n++), std::ios::binary);
            out.write(seed.data(), static_cast<std::streamsize>(seed.size()));
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = RunPeerStream(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "peer stream: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
