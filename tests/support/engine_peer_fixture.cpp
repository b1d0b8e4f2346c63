// The fixture of in-process engine tests against a scripted peer.
#include "tests/support/engine_peer_fixture.h"

#include <cstring>

#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/recorder.h"

void EnginePeerFixture::SetUp() {
    ResetEngine();
    folder = ScratchFolder(testing::UnitTest::GetInstance()->current_test_info()->name());
    recorder.programFolder = EnginePath(folder);
}

void EnginePeerFixture::TearDown() {
    PeerClose(peer);
    if (TransferRunning()) {
        RequestStop();
        WaitForTransferEnd();
    }
    ResetEngine();
}

void EnginePeerFixture::ChooseLocalFile(int fileType, const std::string& name, const std::string& bytes,
                                        int divideIndex) {
    WriteFile(folder + name, bytes);
    transferState.fileType = fileType;
    strcpy(transferState.localPath, EnginePath(folder + name).c_str());
    strcpy(transferState.fileTitle, name.c_str());
    transferState.selectionKind = kFileSelected;
    ASSERT_EQ(ReadLocalFileInfo(), FileInfoResult::Ok);
    SetBlockFigures(divideIndex);
}

void EnginePeerFixture::StartAsClient() {
    int port = NextPort();
    ASSERT_TRUE(PeerListen(peer, port));
    transferState.netRole = kClient;
    transferState.port = port;
    ASSERT_TRUE(StartTransfer());
    ASSERT_TRUE(PeerAccept(peer, 10000));
}

bool EnginePeerFixture::Ends(int timeoutMs) {
    for (int waited = 0; TransferRunning(); waited += 5) {
        if (waited > timeoutMs) return false;
        SleepMs(5);
    }
    WaitForTransferEnd();
    return true;
}
