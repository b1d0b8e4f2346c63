// The repair: the bytes of every damaged block go from the Original to the
// Copy, which writes each at its own offset; then one more checksum pass over
// the same blocks verifies the result. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Original sends, Copy receives; "修復に失敗しました" and the end of the
// transfer when the local file cannot be opened, read or written.
void RepairBlocks();
// 0 when every block moved, -1 on a file error (already shown).
int SendDamagedBlocks();
int ReceiveDamagedBlocks();
// Returns only when the repaired blocks now match on both sides.
void VerifyRepair();
// Reports a read of the file being sent that failed (readFailed: the
// system's error) or came back short: the file was cut since its size was
// read, and "送信中にファイルが変更されました" is shown instead of sending
// anything in place of the missing bytes.
void ReportSendReadFailure(bool readFailed);
