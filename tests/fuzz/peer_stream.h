// One transfer of the engine, run in this process through its real
// connection and receive path, against a peer whose whole stream is a given
// byte string: the fuzz target's body and the replay of its findings in the
// test suite. The first three bytes choose this side's FileType, its file
// and (for an Original) its block size, bit 7 of the third whether it offers
// protocol 2, bit 6 whether it holds a code (and pairs); the rest is what the peer sends, whose own FileType word (plain
// or an offer) settles the protocol.
// Not thread-safe: one run at a time, on any one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Runs one transfer to its end. Returns "" when everything that must hold
// after any transfer held, else what did not.
std::string RunPeerStream(const uint8_t* data, size_t size);
// Inputs that make whole transfers in each role and both protocols: the
// fuzzer's seeds.
std::vector<std::string> SeedInputs();
// The fuzzer's seeds of the pairing with a code: a peer that asks to pair
// and sends a pairing message that cannot succeed.
std::vector<std::string> PairingSeedInputs();
