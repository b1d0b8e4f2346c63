// What blockmend-cli says to its user: the language of its status lines by
// the locale, the summary and the --json object, the listener's hint, the
// cut list of mismatching blocks, --wait, and the forms of its options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/net.h"
#include "platform/thread.h"
#include "tests/support/fixtures.h"

namespace {
#ifndef _WIN32
// Sets the locale variables for the peers started while it lives; nullptr
// leaves a variable unset.
struct PeerLocale {
    PeerLocale(const char* all, const char* messages, const char* lang) {
        Set("LC_ALL", all);
        Set("LC_MESSAGES", messages);
        Set("LANG", lang);
    }
    ~PeerLocale() { setenv("LC_ALL", "ja_JP.UTF-8", 1); }
    static void Set(const char* name, const char* value) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
};
#endif

// The transfers of the tables, run in folder between a listener (server)
// and a connecting side (client), which waits for the listener to be up
// (--wait): a repair of a copy (damaged and shorter unless it is intact), a
// whole file to a side that has none, and a copy that refuses a peer of
// protocol 1. Options come before and after the path, and as --name=value.
enum class Kind { kRepair, kIntact, kWhole, kRefusal };

void RunTransfer(Kind kind, const std::string& folder, CliPeer& server, CliPeer& client,
                 const std::vector<std::string>& serverExtra = {}, const std::vector<std::string>& clientExtra = {}) {
    const std::string original = RandomBytes(300000, 7);
    std::string copy = original;
    if (kind != Kind::kIntact) {
        copy.resize(250000);
        copy[70000] = static_cast<char>(~copy[70000]);
    }
    WriteFile(folder + "orig.bin", original);
    WriteFile(folder + "copy.bin", copy);
    std::filesystem::create_directories(folder + "in");
    const std::string port = std::to_string(NextPort());
    std::vector<std::string> s{"--listen", "--port=" + port};
    if (kind == Kind::kWhole) s.insert(s.end(), {"nothing", folder + "in"});
    else s.insert(s.end(), {"original", folder + "orig.bin", "--log-dir", folder});
    std::vector<std::string> c{"--connect=127.0.0.1", "--port", port, "--log-dir=" + folder, "--wait", "20"};
    c.insert(c.begin(), {kind == Kind::kWhole ? "original" : "copy", folder + (kind == Kind::kWhole ? "orig.bin" : "copy.bin")});
    if (kind == Kind::kRefusal) {
        s.insert(s.end(), {"--protocol", "1"});
        c.push_back("--protocol=2");
    }
    s.insert(s.end(), serverExtra.begin(), serverExtra.end());
    c.insert(c.end(), clientExtra.begin(), clientExtra.end());
    StartCli(server, folder, "server", s);
    StartCli(client, folder, "client", c);
    FinishCli(client);
    FinishCli(server);
}

bool HasNonAscii(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        for (char ch : line)
            if (static_cast<unsigned char>(ch) >= 0x80) return true;
    return false;
}

// A flat JSON object of strings, numbers, false and null, as the peer
// prints it: key -> value text (strings without their quotes).
std::map<std::string, std::string> ParseJson(const std::string& text) {
    std::map<std::string, std::string> fields;
    size_t at = 1;
    auto str = [&]() {
        std::string out;
        for (++at; at < text.size() && text[at] != '"'; ++at) out += text[at] == '\\' ? text[++at] : text[at];
        ++at;
        return out;
    };
    while (at < text.size() && text[at] == '"') {
        const std::string key = str();
        EXPECT_EQ(text[at++], ':') << text;
        if (text[at] == '"') {
            fields[key] = str();
        } else {
            const size_t end = text.find_first_of(",}", at);
            fields[key] = text.substr(at, end - at);
            at = end;
        }
        if (text[at] == ',') ++at;
    }
    EXPECT_EQ(text.back(), '}') << text;
    return fields;
}
}  // namespace

TEST(CliLanguage, StatusLinesFollowTheLocaleAndLogsDoNot) {
    struct Locale {
        const char* all;
        const char* messages;
        const char* lang;
        bool japanese;
    };
#ifdef _WIN32
    // The Windows peer follows the user's UI language: Japanese under the
    // tests' Wine.
    const Locale locales[] = {{nullptr, nullptr, nullptr, true}};
#else
    const Locale locales[] = {{"C", nullptr, "ja_JP.UTF-8", false},   {nullptr, nullptr, "en_US.UTF-8", false},
                              {nullptr, nullptr, "C.UTF-8", false},       {"", "ja_JP.UTF-8", "C", true},
                              {nullptr, nullptr, "ja_JP.UTF-8", true}};
#endif
    struct Transfer {
        Kind kind;
        int exitCode;
        const char* server[2];  // a line of the listener: English, Japanese
        const char* client[2];  // a line of the connecting side
        const char* summary[2];  // how the connecting side's summary starts
    };
    const Transfer transfers[] = {
        {Kind::kRepair, 0, {"the repair is complete", "修復が完了しました"},
         {"receiving the missing end... 50000 / 50000 (100%)", "サイズ相違部分のデータを受信中・・・50000 / 50000 (100%)"},
         {"repaired: 1 damaged block (4.0 KiB) and the missing end (49 KiB) received, ",
          "修復しました: 破損ブロック 1 個 (4.0 KiB)と不足部分 (49 KiB) を受信、"}},
        {Kind::kWhole, 0, {"received", "受信完了"}, {"sent", "送信完了"}, {"sent: orig.bin (293 KiB), ", "送信しました: orig.bin (293 KiB)、"}},
        {Kind::kRefusal, 1, {"disconnected", "切断しました"}, {"the peer does not speak protocol 2", "相手はプロトコル2に対応していません"},
         {"failed: the peer does not speak protocol 2, ", "失敗しました: 相手はプロトコル2に対応していません、"}},
    };
    for (const Transfer& t : transfers) {
        std::string firstLogs;
        for (const Locale& l : locales) {
#ifndef _WIN32
            PeerLocale locale(l.all, l.messages, l.lang);
#endif
            const std::string folder = ScratchFolder("language");
            CliPeer server, client;
            RunTransfer(t.kind, folder, server, client);
            const std::string where = std::string(l.lang ? l.lang : "-") + " " + t.client[0];
            EXPECT_EQ(server.exitCode, t.exitCode) << where;
            EXPECT_EQ(client.exitCode, t.exitCode) << where;
            EXPECT_TRUE(HasLine(server.lines, t.server[l.japanese])) << where;
            EXPECT_TRUE(HasLine(client.lines, t.client[l.japanese])) << where;
            EXPECT_EQ(client.summary.rfind(t.summary[l.japanese], 0), 0u) << where << ": " << ToUtf8(client.summary);
            // Nothing left untranslated: the files' names are ASCII here.
            if (!l.japanese) {
                EXPECT_FALSE(HasNonAscii(server.lines) || HasNonAscii(client.lines)) << where;
            }
            if (t.kind != Kind::kRepair) continue;
            const std::string logs = ReadFile(folder + "log_server.dat") + ReadFile(folder + "log_client.dat");
            if (firstLogs.empty()) firstLogs = logs;
            EXPECT_EQ(logs, firstLogs) << where;
        }
    }
}

TEST(CliReport, JsonResultOfEveryKind) {
    struct Case {
        const char* result;
        Kind kind;
        bool server;  // the listener's object, else the connecting side's
        bool code;    // paired with a code
        const char* protocol;  // as the object gives it
    };
    const Case cases[] = {
        {"repaired", Kind::kRepair, false, true, "2"}, {"identical", Kind::kIntact, true, false, "2"},
        {"received", Kind::kWhole, true, false, "2"},  {"sent", Kind::kWhole, false, false, "2"},
        {"failed", Kind::kRefusal, false, false, "null"},  // refused before a protocol was settled
    };
    for (const Case& c : cases) {
        const std::string result = c.result;
        // --json on both sides, --quiet on the side under test.
        std::vector<std::string> extra[2] = {{"--json"}, {"--json"}};
        extra[c.server ? 0 : 1].push_back("--quiet");
        for (auto& e : extra)
            if (c.code) e.insert(e.end(), {"--code", "a shared code"});
        CliPeer server, client;
        RunTransfer(c.kind, ScratchFolder("json"), server, client, extra[0], extra[1]);
        const CliPeer& peer = c.server ? server : client;
        EXPECT_EQ(peer.exitCode, result == "failed" ? 1 : 0) << result;
        EXPECT_TRUE(peer.lines.empty() && peer.summary.empty() && peer.hint.empty()) << result;  // --quiet
        EXPECT_FALSE((c.server ? client : server).summary.empty()) << result;  // the other side's
        std::map<std::string, std::string> f = ParseJson(peer.json);
        EXPECT_EQ(f["result"], result);
        EXPECT_EQ(f["protocol"], c.protocol) << result;
        EXPECT_EQ(f["encrypted"] != "false", c.code) << result;
        EXPECT_EQ(f["error"], result == "failed" ? "the peer does not speak protocol 2" : "") << result;
        EXPECT_EQ(f["size"], result == "failed" ? "250000" : "300000") << result;
        const bool original = c.kind == Kind::kWhole || c.server;
        EXPECT_NE(f["file"].find(original ? "orig.bin" : "copy.bin"), std::string::npos) << f["file"];
        const double seconds = std::stod(f["seconds"]);
        EXPECT_TRUE(seconds >= 0 && seconds < 60) << result;
        // The bytes that moved: what each result needs, and far less than
        // the file where no file crossed.
        const uint64_t sent = std::stoull(f["bytes_sent"]), received = std::stoull(f["bytes_received"]);
        const uint64_t up = c.server ? received : sent, down = c.server ? sent : received;
        const std::map<std::string, bool> plausible = {
            {"repaired", down >= 4096 + 50000 && down < 80000 && up < 20000},
            {"identical", up > 0 && down > 0 && up < 20000 && down < 20000},
            {"received", received >= 300000 && sent < 1000},
            {"sent", sent >= 300000 && received < 1000},
            {"failed", up < 100 && down < 100},
        };
        EXPECT_TRUE(plausible.at(result)) << result << ": sent " << sent << ", received " << received;
    }
}

TEST(CliListener, PrintsHowToReachItOnceItListensAfterItsCode) {
    const std::string folder = ScratchFolder("hint");
    WriteFile(folder + "orig.bin", RandomBytes(5000, 1));
    const int port = NextPort();
    CliPeer listener;
    StartCli(listener, folder, "listener", {"original", folder + "orig.bin", "--listen", "--port", std::to_string(port), "--new-code"});
    ASSERT_TRUE(WaitForLine(listener, "接続待ち・・・", 20000));
    const std::vector<std::string> lines = CliLines(listener);
    KillProcess(listener.process);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 19u);  // the code: 16 digits in four groups
    const std::vector<uint32_t> addresses = LocalIpv4Addresses();
    char first[20] = "HOST";
    if (!addresses.empty()) FormatIpv4(addresses[0], first, sizeof first);
    EXPECT_EQ(lines[1].rfind("相手のマシンで実行: blockmend-cli copy FILE --connect " + std::string(first) + " --port " +
                             std::to_string(port) + " --code " + lines[0], 0), 0u) << ToUtf8(lines[1]);
}

TEST(CliConnect, WaitTriesAgainOnlyWhileRefusedAndOnlyAsLongAsAsked) {
    const std::string folder = ScratchFolder("wait");
    WriteFile(folder + "copy.bin", RandomBytes(5000, 1));
    const std::string port = std::to_string(NextPort());
    uint64_t took[2] = {};  // with --wait 0 and 2 (a process start under Wine takes a while itself)
    for (int i = 0; i < 2; ++i) {
        CliPeer client;
        const uint64_t start = MonotonicMilliseconds();
        StartCli(client, folder, "client",
                 {"copy", folder + "copy.bin", "--connect", "127.0.0.1", "--port", port, "--wait", i == 0 ? "0" : "2"});
        FinishCli(client);
        took[i] = MonotonicMilliseconds() - start;
        EXPECT_EQ(client.exitCode, 1);
        EXPECT_TRUE(AnyLineStartsWith(client.lines, "接続できませんでした (127.0.0.1 "));
    }
    EXPECT_TRUE(took[1] >= 2000 && took[1] < took[0] + 5000 && took[0] + 1500 < took[1]) << took[0] << " " << took[1];
    // A listener that comes up a second later is reached (RunTransfer's
    // peers rely on it too, whichever starts first).
    WriteFile(folder + "orig.bin", RandomBytes(5000, 1));
    CliPeer client, server;
    StartCli(client, folder, "late-client", {"copy", folder + "copy.bin", "--connect", "127.0.0.1", "--port", port, "--wait", "30"});
    SleepMs(1000);
    StartCli(server, folder, "late-server", {"original", folder + "orig.bin", "--listen", "--port", port, "--log-dir", folder});
    FinishCli(client);
    FinishCli(server);
    EXPECT_EQ(client.exitCode, 0);
    EXPECT_EQ(server.exitCode, 0);
}

TEST(CliOptions, UsageErrorsNameTheFaultAndSuggest) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"copy", "f.bin", "--lisen"}, "unknown option: --lisen (did you mean --listen?)"},
        {{"--verb", "copy", "f.bin", "--listen"}, "unknown option: --verb (did you mean --verbose?)"},
        {{"copi", "f.bin", "--listen"}, "unknown mode: copi (did you mean copy?)"},
        {{"copy", "f.bin", "--listen=yes"}, "--listen takes no value"},
        {{"copy", "f.bin", "--listen", "--port"}, "--port needs a value"},
        {{"copy", "f.bin", "--listen", "--wait=3"}, "--wait goes with --connect"},
        {{"copy", "f.bin", "g.bin", "--listen"}, "unexpected argument: g.bin"},
        {{"copy", "f.bin", "--block-size=4096", "--listen"}, "--block-size goes with original"},
    };
    const std::string folder = ScratchFolder("options");
    for (const Case& c : cases) {
        CliPeer cli;
        StartCli(cli, folder, "usage", c.args);
        FinishCli(cli);
        EXPECT_EQ(cli.exitCode, 2) << c.says;
        const std::string line = std::string("blockmend-cli: ") + c.says;
        const size_t at = cli.errors.find(line);
        ASSERT_NE(at, std::string::npos) << cli.errors;
        EXPECT_TRUE(cli.errors[at + line.size()] == '\n' || cli.errors[at + line.size()] == '\r') << cli.errors;
    }
}

TEST(CliOutput, LongMismatchListIsCutOnScreenUnlessVerboseAndKeptWholeInTheLog) {
    const std::string folder = ScratchFolder("mismatch");
    WriteFile(folder + "orig.bin", RandomBytes(64 * 4096, 1));
    WriteFile(folder + "copy.bin", RandomBytes(64 * 4096, 2));
    const std::string port = std::to_string(NextPort());
    CliPeer server, client;
    StartCli(server, folder, "server", {"original", folder + "orig.bin", "--listen", "--port", port, "--log-dir", folder,
                                        "--block-size", "4096", "--verbose"});
    StartCli(client, folder, "client", {"copy", folder + "copy.bin", "--connect", "127.0.0.1", "--port", port,
                                        "--log-dir", folder, "--wait", "20"});
    FinishCli(client);
    FinishCli(server);
    auto entries = [](const std::vector<std::string>& lines) {
        size_t n = 0;
        for (const std::string& line : lines) n += line.find(" <-> ") != std::string::npos && line[0] != 'A';
        return n;
    };
    EXPECT_EQ(entries(server.lines), 64u);
    EXPECT_EQ(entries(client.lines), 20u);
    EXPECT_TRUE(HasLine(client.lines, "・・・ほかに不一致のブロックが 44 個 (--verbose で全て表示、ログには全て記録)"));
    // The first and the last ranges stay on screen.
    bool first = false, last = false;
    for (const std::string& line : client.lines) {
        first = first || line.find("0(     0) -") != std::string::npos;
        last = last || line.find("- 3ffff(262143) :") != std::string::npos;
    }
    EXPECT_TRUE(first && last);
    const std::string log = ReadFile(folder + "log_client.dat");
    size_t ng = 0;
    for (size_t at = log.find(" NG"); at != std::string::npos; at = log.find(" NG", at + 1)) ++ng;
    EXPECT_EQ(ng, 64u);
}
