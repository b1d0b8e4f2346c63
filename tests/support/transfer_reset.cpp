// The shared reset of the transfer record (test thread, no worker running).
#include "tests/support/transfer_reset.h"

#include "engine/transfer_state.h"

void ResetTransferRecord() {
    TransferState& s = transferState;
    s.fileType = kOriginal;
    s.netRole = kServer;
    s.port = kDefaultPort;
    s.localPath[0] = s.fileTitle[0] = s.incomingName[0] = s.logPath[0] = '\0';
    s.localSize = s.blockSize = 0;
    s.localIsDevice = false;
    s.stopRequested.store(0);
    s.selectionKind = kNoSelection;
    s.protocolLimit = kHighestProtocol;
    s.protocolMinimum = 1;
    s.verifyAll = false;
    s.pairingCode[0] = '\0';
    s.mainWindow = nullptr;
    s.hexDigits = s.decDigits = 0;
    s.divideIndex = 0;
    s.uiBlockSize = 0;
    s.uiBlockCount = s.crcDataSize = 0;
    s.allowedPeer = 0;
    s.connectWaitMs = 0;
    ResetTransferProgress();
}
