// The command-line peer's texts in its two languages: every status line
// that the engine shows (recognized by its Japanese form, which may hold
// values) and the peer's own texts, each written once with both forms side
// by side in one table. The language is chosen once, before the transfer
// starts; the lookups then run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Every text of the table. The engine's lines come first; the ids that the
// front end reacts to (a repair, a connection, a list of mismatches) are
// named after what the line means.
enum class TextId {
    kNone,  // a line that is not in the table: shown as it is
    // Connection.
    kNoSocket,
    kBindFailed,
    kListenFailed,
    kWaiting,
    kNoAcceptSocket,
    kConnected,
    kConnecting,
    kCannotConnect,
    // Handshake and sizes.
    kRemoteSize,
    kProtocol2,
    kProtocol2Encrypted,
    kNoProtocol2,
    kCannotOpenNew,
    kGivingUp,
    kFileName,
    kWrongFileType,
    kPeerWithoutCode,
    kPeerWantsCode,
    kPeerBusy,
    kResuming,
    kPeerResumes,
    kCannotName,
    kNameNotCp932,
    kDeviceTooShort,
    kDeviceRest,
    kNotAFileOrDevice,
    kNotAFile,
    kRemoteNameError,
    kSizesDifferError,
    kSizesDifferWarning,
    kMissingEndFollows,
    kTooLarge,
    // Checksum passes and the comparison.
    kBlockSize,
    kChecksumsFirst,
    kChecksums,
    kNoMemoryForSize,
    kNoMemory,
    kSendingChecksums,
    kReceivingChecksums,
    kMismatchHeader,
    kMismatchColumns,
    kAllMatch,
    // Repair, tail, whole file, digest.
    kSendingDamagedStart,
    kSendingDamaged,
    kReceivingDamagedStart,
    kReceivingDamaged,
    kFileChangedWhileSending,
    kRepairFailed,
    kVerifying,
    kRepaired,
    kRepairSeemsFailed,
    kSendingEnd,
    kReceivingEnd,
    kSendingFile,
    kReceivingFile,
    kSent,
    kReceived,
    kReadingWholeFile,
    // Ends of a transfer.
    kDisconnected,
    kConnectionLost,
    kSilentPeer,
    kStalledPeer,
    kBadBlockSize,
    kBadFileSize,
    kPairingFailed,
    kBadRecord,
    // System errors with texts of the program's own.
    kFileInUse,
    kNameHasNoForm,
    // The command-line peer's own texts.
    kExists,
    kCannotOpenPath,
    kCannotReadPath,
    kCannotWritePath,
    kCannotRenamePath,
    kCannotUseFolder,
    kCannotListenPort,
    kCannotConnectTo,
    kNoLog,
    kOverwriteChoices,
    kOtherName,
    kHint,
    kHintOtherAddresses,
    kMoreMismatches,
    kProgressRate,
    kSummary,
    kSummaryRate,
    kResultRepaired,
    kResultIdentical,
    kResultReceived,
    kResultSent,
    kResultFailed,
    kDamagedBlocks,
    kOneDamagedBlock,
    kMissingEnd,
    kAnd,
    kMovedSent,
    kMovedReceived,
    kNoDamage,
    kWholeFile,
    kStopped,
    // A server of many peers (--serve).
    kServing,
    kPeerStarted,
    kPeerEnded,
    kPeerProcessEnded,
    kCannotStartProcess,
    kPairingPenalty,
    kServeStopping,
};

// Picks the language of every later lookup: Japanese or English.
void UseJapanese(bool japanese);
bool UsingJapanese();

// What a status line of the engine (code page 932, but for a path or file
// name that it holds, which is in the path encoding) is: its id, and the
// values that its pattern holds, in order. kNone for a line not in the
// table.
TextId RecognizeLine(const char* line, std::vector<std::string>* values = nullptr);

// The line as the user reads it, in UTF-8: in Japanese as the engine wrote
// it, else its English form with the same values (a line not in the table
// stays as it is).
std::string ShownLine(const char* line);
// The same in English whatever the language (for --json).
std::string EnglishLine(const char* line);

// A text of the table in the chosen language, in UTF-8, with each "{}"
// replaced by the next of values (UTF-8).
std::string Text(TextId id, const std::vector<std::string>& values = {});

// Bytes as "812 B", "8.0 KiB", "41 KiB", "1.4 GiB".
std::string FormatSize(uint64_t bytes);
// Seconds as "0:07", "12:34" or "1:02:03".
std::string FormatDuration(double seconds);
