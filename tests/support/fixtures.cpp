// Shared helpers of the tests.
#include "tests/support/fixtures.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/net.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
fs::path ScratchRoot() {
    fs::path root = fs::temp_directory_path() / "blockmend-tests";
#ifdef _WIN32
    return root / ("w" + std::to_string(GetCurrentProcessId()));
#else
    return root / ("p" + std::to_string(getpid()));
#endif
}
}  // namespace

void RemoveScratchFolders() {
    std::error_code ec;
    fs::remove_all(ScratchRoot(), ec);
}

std::string ScratchFolder(const std::string& name) {
    fs::path dir = ScratchRoot() / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    std::string s = dir.string();
    s += static_cast<char>(fs::path::preferred_separator);
    return s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
#ifdef _WIN32
    // The path is in the ANSI code page, which std::filesystem does not take.
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    std::error_code ec;
    return fs::exists(path, ec);
#endif
}

std::string RandomBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

bool MakeSparseFile(const std::string& path, uint64_t size, const std::vector<std::pair<uint64_t, uint32_t>>& spots) {
    {
        std::ofstream create(path, std::ios::binary | std::ios::trunc);
        if (!create) return false;
    }
#ifdef _WIN32
    // The C library's resize stops at 2 GiB on the 32-bit build.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool resized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!resized) return false;
#else
    std::error_code ec;
    fs::resize_file(path, size, ec);
    if (ec) return false;
#endif
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& spot : spots) {
        if (spot.first >= size) continue;
        std::string bytes = RandomBytes(4096, spot.second);
        if (size - spot.first < bytes.size()) bytes.resize(size - spot.first);
        out.seekp(static_cast<std::streamoff>(spot.first));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    return static_cast<bool>(out);
}

bool SameFileContents(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::string pa(1 << 20, '\0'), pb(1 << 20, '\0');
    for (;;) {
        fa.read(pa.data(), static_cast<std::streamsize>(pa.size()));
        fb.read(pb.data(), static_cast<std::streamsize>(pb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return true;
        if (memcmp(pa.data(), pb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    }
}

int NextPort() {
    // Test programs run side by side (ctest -j) and with other programs on
    // the machine: each process starts far from the others, below the
    // ephemeral range, and skips ports that something holds now.
#ifdef _WIN32
    static int next = 10000 + static_cast<int>(GetCurrentProcessId() * 7919u % 22000u);
#else
    static int next = 10000 + static_cast<int>(static_cast<unsigned>(getpid()) * 7919u % 22000u);
#endif
    SocketsStartup();
    for (int tries = 0; tries < 1000; ++tries) {
        int port = next++;
        if (next >= 32000) next = 10000;
        SocketHandle probe;
        if (SocketOpenTcp(probe) && SocketBindAny(probe, static_cast<uint16_t>(port))) return port;
    }
    return next++;
}

std::string CliPath() { return BLOCKMEND_CLI; }

bool StartCli(CliPeer& peer, const std::string& folder, const std::string& tag, const std::vector<std::string>& args) {
    std::vector<std::string> all{CliPath()};
    all.insert(all.end(), args.begin(), args.end());
    return SpawnProcess(peer.process, all, folder + tag + ".out", folder + tag + ".err");
}

std::vector<std::string> CliLines(const CliPeer& peer) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(peer.process.outPath));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(ToCp932(line));
    }
    return lines;
}

bool WaitForLine(const CliPeer& peer, const std::string& line, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (HasLine(CliLines(peer), line)) return true;
        SleepMs(10);
    }
    return false;
}

void FinishCli(CliPeer& peer, int timeoutMs) {
    peer.exitCode = WaitProcess(peer.process, timeoutMs);
    if (peer.exitCode == -1) KillProcess(peer.process);
    peer.lines = CliLines(peer);
    peer.errors = ReadFile(peer.process.errPath);
    std::vector<std::string>& lines = peer.lines;
    if (!lines.empty() && lines.back().rfind("{\"result\":", 0) == 0) {
        peer.json = lines.back();
        lines.pop_back();
    }
    static const char* const kResults[] = {"repaired: ", "identical: ", "received: ", "sent: ", "failed: ",
                                           "修復しました: ", "一致しています: ", "受信しました: ",
                                           "送信しました: ", "失敗しました: "};
    for (const char* result : kResults) {
        if (lines.empty() || lines.back().rfind(result, 0) != 0) continue;
        peer.summary = lines.back();
        lines.pop_back();
        break;
    }
    for (size_t i = 0; i < lines.size() && i < 2; ++i) {
        if (lines[i].rfind("on the other machine: ", 0) != 0 && lines[i].rfind("相手のマシンで実行: ", 0) != 0) continue;
        peer.hint = lines[i];
        lines.erase(lines.begin() + static_cast<long>(i));
        break;
    }
}

void RunPair(CliPeer& server, const std::vector<std::string>& serverArgs, CliPeer& client,
             const std::vector<std::string>& clientArgs, const std::string& folder) {
    StartCli(server, folder, "server", serverArgs);
    WaitForLine(server, "接続待ち・・・", 20000);
    StartCli(client, folder, "client", clientArgs);
    FinishCli(client);
    FinishCli(server);
}

bool HasLine(const std::vector<std::string>& lines, const std::string& needle) {
    for (const std::string& l : lines)
        if (l == needle) return true;
    return false;
}

bool AnyLineStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& l : lines)
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

std::string ToCp932(const std::string& utf8) {
    std::string out;
    return Utf8ToCp932(utf8, &out) ? out : utf8;
}

std::string ToUtf8(const std::string& cp932) {
    std::string out;
    return Cp932ToUtf8(cp932, &out) ? out : cp932;
}

std::string LocalName(const std::string& cp932) {
#ifdef _WIN32
    return cp932;
#else
    return ToUtf8(cp932);
#endif
}
