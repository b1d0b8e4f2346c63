// The one table of the command-line peer's texts: the Japanese form (code
// page 932, as the engine and the window show it) beside the English one.
// "{}" stands for a value (a number, a file name) in both forms. Read-only
// after UseJapanese, so any thread may look up.
//
// A new status line of the engine gets its English form here: one row with
// the line as the engine writes it and "{}" where it holds a value, and a
// TextId of its own in texts.h. A line without a row is shown in Japanese.
#include "cli/texts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace {
struct TextRow {
    TextId id;
    const char* japanese;
    const char* english;
    int path = -1;  // the value that is a path or a file name (held in the path encoding, UTF-8 here); -1: none
};

// The rows up to kExists are the engine's lines, recognized by their
// Japanese form; the rest are the peer's own.
const TextRow kRows[] = {
    {TextId::kNoSocket, "ソケット(Sock)を作成できませんでした", "cannot create a socket"},
    {TextId::kBindFailed, "bindに失敗しました", "cannot listen: the port is in use or not allowed (bind failed)"},
    {TextId::kListenFailed, "listenに失敗しました", "cannot listen (listen failed)"},
    {TextId::kWaiting, "接続待ち・・・", "waiting for the peer..."},
    {TextId::kNoAcceptSocket, "ソケット(NewSock)を作成できませんでした", "cannot accept the connection"},
    {TextId::kConnected, "接続完了", "connected"},
    {TextId::kConnecting, "接続中・・・", "connecting..."},
    {TextId::kCannotConnect, "接続できませんでした", "cannot connect"},
    {TextId::kRemoteSize, "RemoteFileSize: {}", "peer's file size: {}"},
    {TextId::kProtocol2, "プロトコル2 (XXH3) で転送します", "protocol 2 (XXH3)"},
    {TextId::kProtocol2Encrypted, "プロトコル2 (XXH3) で転送します (暗号化: {})", "protocol 2 (XXH3), encrypted with {}"},
    {TextId::kNoProtocol2, "相手はプロトコル2に対応していません", "the peer does not speak protocol 2"},
    {TextId::kCannotOpenNew, "\"{}\"が開けませんでした。", "cannot open \"{}\".", 0},
    {TextId::kGivingUp, "処理を中断します。", "giving up."},
    {TextId::kFileName, "ファイル名: {}", "file name: {}", 0},
    {TextId::kWrongFileType, "FileType が正しくありません。", "the peer's side does not go with this one (FileType)."},
    {TextId::kPeerWithoutCode, "相手はコードを使っていません", "the peer uses no code"},
    {TextId::kPeerWantsCode, "相手はコードでの接続を求めています", "the peer asks for a code"},
    {TextId::kPeerBusy, "相手は別の転送中です。終わってからもう一度接続してください",
     "the peer is busy with another transfer: connect again once it has ended"},
    {TextId::kResuming, "前回の続きから受信します (受信済み: {} バイト)",
     "going on from where the last transfer stopped ({} bytes received already)"},
    {TextId::kPeerResumes, "相手は前回の続きから受信します", "the peer goes on from where the last transfer stopped"},
    {TextId::kCannotName, "\"{}\"に名前を付けられませんでした。", "cannot give the received file its name \"{}\".", 0},
    {TextId::kNameNotCp932, "\"{}\"はコードページ932で表せない名前のため、相手に送れません",
     "the name \"{}\" has no code page 932 form, so a peer of protocol 1 cannot take it", 0},
    {TextId::kDeviceTooShort, "コピー先のデバイスが元のファイルより短いため、修復できません",
     "the copy's device is shorter than the original file: it cannot be repaired"},
    {TextId::kDeviceRest, "デバイスの {} バイト目から先は比較も変更もしません",
     "the device is neither compared nor changed from byte {} on"},
    {TextId::kNotAFileOrDevice, "通常のファイルでもブロックデバイスでもありません", "neither a regular file nor a block device"},
    {TextId::kNotAFile, "通常のファイルではありません", "not a regular file"},
    {TextId::kRemoteNameError, "Remote でエラーが発生しました。(FileName Error)",
     "the peer could not take the file name (FileName Error)."},
    {TextId::kSizesDifferError, "error: ファイルサイズが異なります", "error: the file sizes differ"},
    {TextId::kSizesDifferWarning, "warning: ファイルサイズが異なります", "warning: the file sizes differ"},
    {TextId::kMissingEndFollows, "(現存部分の一致調査後、不足部分は補います)",
     "(the common part is compared first, then the missing end is sent)"},
    {TextId::kTooLarge, "4GB以上のファイルは扱えません", "files of 4 GiB or more cannot be carried"},
    {TextId::kBlockSize, "Devide Size = {}", "block size {}"},
    {TextId::kChecksumsFirst, "計算中・・・{} / {}", "checksums... {} / {} blocks"},
    {TextId::kChecksums, "CRC計算中・・・{} / {}", "checksums... {} / {} blocks"},
    {TextId::kNoMemoryForSize, "メモリが足りません。ブロックサイズを {} 以上にしてください",
     "not enough memory: choose a block size of {} or more"},
    {TextId::kNoMemory, "メモリが足りません", "not enough memory"},
    {TextId::kSendingChecksums, "CRCデータ送信中・・・", "sending checksums..."},
    {TextId::kReceivingChecksums, "CRCデータ受信中・・・", "receiving checksums..."},
    {TextId::kMismatchHeader, "CRC不一致", "mismatching blocks"},
    {TextId::kMismatchColumns, "Address : CRC(Local) <-> CRC(Remote)", "offsets : checksum (here) <-> checksum (peer)"},
    {TextId::kAllMatch, "CRCは全て一致しています。", "all checksums match."},
    {TextId::kSendingDamagedStart, "破損部分のデータを送信中・・・", "sending damaged blocks..."},
    {TextId::kSendingDamaged, "破損部分のデータを送信中・・・{} / {} ({}%)", "sending damaged blocks... {} / {} ({}%)"},
    {TextId::kReceivingDamagedStart, "破損部分のデータ受信＆修復中・・・", "receiving and writing damaged blocks..."},
    {TextId::kReceivingDamaged, "破損部分のデータ受信＆修復中・・・{} / {} ({}%)",
     "receiving and writing damaged blocks... {} / {} ({}%)"},
    {TextId::kFileChangedWhileSending, "送信中にファイルが変更されました", "the file changed while it was sent"},
    {TextId::kRepairFailed, "修復に失敗しました", "the repair failed"},
    {TextId::kVerifying, "修復が成功したか確認中・・・", "checking the repair..."},
    {TextId::kRepaired, "修復が完了しました", "the repair is complete"},
    {TextId::kRepairSeemsFailed, "修復に失敗したようです。", "the repair seems to have failed."},
    {TextId::kSendingEnd, "サイズ相違部分のデータを送信中・・・{} / {} ({}%)", "sending the missing end... {} / {} ({}%)"},
    {TextId::kReceivingEnd, "サイズ相違部分のデータを受信中・・・{} / {} ({}%)",
     "receiving the missing end... {} / {} ({}%)"},
    {TextId::kSendingFile, "データを送信中・・・{} / {} ({}%)", "sending the file... {} / {} ({}%)"},
    {TextId::kReceivingFile, "データを受信中・・・{} / {} ({}%)", "receiving the file... {} / {} ({}%)"},
    {TextId::kSent, "送信完了", "sent"},
    {TextId::kReceived, "受信完了", "received"},
    {TextId::kReadingWholeFile, "ファイル全体を確認中・・・{} / {} ({}%)", "reading the whole file again... {} / {} ({}%)"},
    {TextId::kDisconnected, "切断しました", "disconnected"},
    {TextId::kConnectionLost, "相手との接続が切れました", "the connection to the peer was lost"},
    {TextId::kSilentPeer, "相手から30秒間応答がありませんでした", "the peer sent nothing for 30 s"},
    {TextId::kStalledPeer, "相手とのデータの送受信が60秒間止まりました", "no data moved to or from the peer for 60 s"},
    {TextId::kBadBlockSize, "ブロックサイズが正しくありません。", "the peer sent a block size that is not valid."},
    {TextId::kBadFileSize, "ファイルサイズが正しくありません。", "the peer sent a file size that is not valid."},
    {TextId::kPairingFailed, "コードによる接続に失敗しました (コードが違うか、通信が改ざんされています)",
     "pairing with the code failed (the codes differ, or the connection was tampered with)"},
    {TextId::kBadRecord, "暗号化されたデータが正しくありません (改ざんされたか、壊れています)",
     "encrypted data did not open (tampered with or damaged)"},
    {TextId::kFileInUse, "プロセスはファイルにアクセスできません。別のプロセスが使用中です。",
     "the file is in use by another process."},
    {TextId::kNameHasNoForm, "ファイル名をこのシステムの文字に変換できません。",
     "the file name has no form in this system's characters."},

    {TextId::kExists, "\"{}\"は既に存在しています", "\"{}\" exists already"},
    {TextId::kCannotOpenPath, "{} を開けません: {}", "cannot open {}: {}"},
    {TextId::kCannotReadPath, "{} を読めません: {}", "cannot read {}: {}"},
    {TextId::kCannotWritePath, "{} に書き込めません: {}", "cannot write {}: {}"},
    {TextId::kCannotRenamePath, "{} に名前を付けられません: {}", "cannot give the name {}: {}"},
    {TextId::kCannotUseFolder, "フォルダ {} を使えません: {}", "cannot use the folder {}: {}"},
    {TextId::kCannotListenPort, "ポート {} で待ち受けできません: {}", "cannot listen on port {}: {}"},
    {TextId::kCannotConnectTo, "{} のポート {} に接続できません: {}", "cannot connect to {} port {}: {}"},
    {TextId::kNoLog, "比較ログのフォルダ {} を使えません: {} (ログなしで続けます)",
     "cannot write the comparison log in {}: {} (going on without it)"},
    {TextId::kOverwriteChoices, "1: 上書きする  2: 別の名前で保存する  3: キャンセル",
     "1: overwrite  2: save under another name  3: cancel"},
    {TextId::kOtherName, "別の名前: ", "other name: "},
    {TextId::kHint, "相手のマシンで実行: {}", "on the other machine: {}"},
    {TextId::kHintOtherAddresses, "(このマシンの他のアドレス: {})", "(this machine's other addresses: {})"},
    {TextId::kMoreMismatches, "・・・ほかに不一致のブロックが {} 個 (--verbose で全て表示、ログには全て記録)",
     "... {} more mismatching blocks (--verbose shows them all; the log holds every one)"},
    {TextId::kProgressRate, "{}/s 残り {}", "{}/s, {} left"},
    {TextId::kSummary, "{}: {}、送信 {}・受信 {}、{} 秒{}", "{}: {}, {} sent and {} received in all, {} s{}"},
    {TextId::kSummaryRate, "、{}/s", ", {}/s"},
    {TextId::kResultRepaired, "修復しました", "repaired"},
    {TextId::kResultIdentical, "一致しています", "identical"},
    {TextId::kResultReceived, "受信しました", "received"},
    {TextId::kResultSent, "送信しました", "sent"},
    {TextId::kResultFailed, "失敗しました", "failed"},
    {TextId::kDamagedBlocks, "破損ブロック {} 個 ({})", "{} damaged blocks ({})"},
    {TextId::kOneDamagedBlock, "破損ブロック 1 個 ({})", "1 damaged block ({})"},
    {TextId::kMissingEnd, "不足部分 ({})", "the missing end ({})"},
    {TextId::kAnd, "と", " and "},
    {TextId::kMovedSent, "{} を送信", "{} sent"},
    {TextId::kMovedReceived, "{} を受信", "{} received"},
    {TextId::kNoDamage, "破損ブロックなし", "no damaged block"},
    {TextId::kWholeFile, "{} ({})", "{} ({})"},
    {TextId::kStopped, "中断しました", "stopped"},
    {TextId::kServing, "{} をポート {} で配信中 (同時に {} 台まで)", "serving {} on port {} to up to {} peers at once"},
    {TextId::kPeerStarted, "{}: 接続完了、転送を開始します", "{}: connected, transfer started"},
    {TextId::kPeerEnded, "{}: {}", "{}: {}"},
    {TextId::kPeerProcessEnded, "{}: 失敗しました: 転送のプロセスが異常終了しました (終了コード {})",
     "{}: failed: the transfer's process ended abnormally (exit code {})"},
    {TextId::kCannotStartProcess, "{}: 転送のプロセスを開始できません", "{}: cannot start the transfer's process"},
    {TextId::kPairingPenalty, "コードによる接続が {} 回続けて失敗しました: 次の接続には {} 秒後に応答します",
     "{} pairings in a row failed: the next connection is answered in {} s"},
    {TextId::kServeStopping, "新しい接続の受付を終了しました。実行中の転送の終了を待ちます",
     "no longer accepting peers; waiting for the running transfers to end"},
};

bool japanese = false;

const TextRow* RowOf(TextId id) {
    for (const TextRow& row : kRows)
        if (row.id == id) return &row;
    return nullptr;
}

// Where needle first occurs in text at or after from, at the start of a
// character: a second byte of code page 932 may look like an ASCII one.
size_t FindAtCharacter(const std::string& text, size_t from, const std::string& needle) {
    for (size_t at = from; at + needle.size() <= text.size();) {
        if (text.compare(at, needle.size(), needle) == 0) return at;
        at += IsCp932LeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
    }
    return std::string::npos;
}

// Whether line has the form of pattern, each "{}" taking any text; values
// receives what each took. A "{}" ends at the first occurrence of the text
// after it, except the last, which takes all but the pattern's end.
bool Matches(const char* pattern, const std::string& line, std::vector<std::string>* values) {
    std::vector<std::string> pieces;
    for (const char* p = pattern;;) {
        const char* hole = strstr(p, "{}");
        if (!hole) {
            pieces.emplace_back(p);
            break;
        }
        pieces.emplace_back(p, hole);
        p = hole + 2;
    }
    if (line.compare(0, pieces[0].size(), pieces[0]) != 0) return false;
    if (pieces.size() == 1) return line.size() == pieces[0].size();
    size_t at = pieces[0].size();
    std::vector<std::string> taken;
    for (size_t i = 1; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        size_t found;
        if (i + 1 == pieces.size()) {
            if (line.size() < at + piece.size() || line.compare(line.size() - piece.size(), piece.size(), piece) != 0)
                return false;
            found = line.size() - piece.size();
        } else {
            found = FindAtCharacter(line, at, piece);
            if (found == std::string::npos) return false;
        }
        taken.push_back(line.substr(at, found - at));
        at = found + piece.size();
    }
    if (values) *values = std::move(taken);
    return true;
}

// UTF-8 of code page 932 text, character by character where the whole has
// no form: a character with none becomes '?'.
std::string Utf8Of(const std::string& text) {
    std::string out;
    if (Cp932ToUtf8(text, &out)) return out;
    out.clear();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p != '\0') {
        size_t n = IsCp932LeadByte(*p) && p[1] != '\0' ? 2 : 1;
        std::string one;
        if (Cp932ToUtf8(std::string(reinterpret_cast<const char*>(p), n), &one)) out += one;
        else out += '?';
        p += n;
    }
    return out;
}

// The pattern (code page 932) with each "{}" replaced by the next of values,
// as UTF-8. Values are code page 932, except the one at path and every one
// when valuesUtf8.
std::string Fill(const char* pattern, const std::vector<std::string>& values, int path, bool valuesUtf8) {
    std::string out, piece;
    size_t next = 0;
    for (const char* p = pattern;; ++p) {
        if (*p != '\0' && !(p[0] == '{' && p[1] == '}')) {
            piece += *p;
            continue;
        }
        out += Utf8Of(piece);
        piece.clear();
        if (*p == '\0') break;
        if (next < values.size()) {
            const bool utf8 = valuesUtf8 || static_cast<int>(next) == path;
            out += utf8 ? values[next] : Utf8Of(values[next]);
            ++next;
        }
        ++p;
    }
    return out;
}

std::string InLanguage(const char* line, bool inJapanese) {
    std::vector<std::string> values;
    const TextId id = RecognizeLine(line, &values);
    if (id == TextId::kNone) return Utf8Of(line);
    const TextRow* row = RowOf(id);
    return Fill(inJapanese ? row->japanese : row->english, values, row->path, false);
}
}  // namespace

void UseJapanese(bool on) { japanese = on; }
bool UsingJapanese() { return japanese; }

TextId RecognizeLine(const char* line, std::vector<std::string>* values) {
    const std::string text = line;
    for (const TextRow& row : kRows) {
        if (row.id == TextId::kExists) break;
        if (Matches(row.japanese, text, values)) return row.id;
    }
    return TextId::kNone;
}

std::string ShownLine(const char* line) { return InLanguage(line, japanese); }
std::string EnglishLine(const char* line) { return InLanguage(line, false); }

std::string Text(TextId id, const std::vector<std::string>& values) {
    const TextRow* row = RowOf(id);
    if (!row) return std::string();
    return Fill(japanese ? row->japanese : row->english, values, -1, true);
}

std::string FormatSize(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, value < 9.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string FormatDuration(double seconds) {
    const uint64_t s = seconds < 0 ? 0 : static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                 static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    else
        snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                 static_cast<unsigned long long>(s % 60));
    return text;
}
