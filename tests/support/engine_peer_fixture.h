// The fixture of the tests that run one side of a transfer in this process
// against a scripted peer: a scratch folder per test, the log kept there,
// and the engine and the peer put back in order afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/peer.h"

class EnginePeerFixture : public testing::Test {
protected:
    std::string folder;  // this test's scratch folder
    ScriptedPeer peer;

    void SetUp() override;
    void TearDown() override;

    // This side holds file name with bytes, chosen as a front end would,
    // at the block size of divideIndex.
    void ChooseLocalFile(int fileType, const std::string& name, const std::string& bytes, int divideIndex = 0);
    // This side connects as Client to the scripted peer, which listens.
    void StartAsClient();
    // Waits for the worker's end; false when it took longer than timeoutMs.
    bool Ends(int timeoutMs = 20000);
};
