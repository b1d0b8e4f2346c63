// Scripts of an honest peer and the file a cut leaves (test thread).
#include "tests/support/wire_script.h"

#include <algorithm>
#include <set>

#include "engine/crc16.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

std::string NameRecord(const std::string& name) {
    std::string record = name;
    record.resize(260, '\0');
    return record;
}

std::string CrcList(const std::string& bytes, size_t work) {
    std::string list;
    for (size_t at = 0; at < work; at += kBlock) {
        size_t n = std::min<size_t>(kBlock, work - at);
        uint16_t crc = Crc16Update(0xFFFF, reinterpret_cast<const uint8_t*>(bytes.data() + at), n);
        list += static_cast<char>(crc & 0xFF);
        list += static_cast<char>(crc >> 8);
    }
    return list;
}

std::vector<std::pair<size_t, size_t>> Damaged(const std::string& a, const std::string& b, size_t work) {
    std::string ca = CrcList(a, work), cb = CrcList(b, work);
    std::vector<std::pair<size_t, size_t>> blocks;
    for (size_t i = 0; 2 * i < ca.size(); ++i)
        if (ca.compare(2 * i, 2, cb, 2 * i, 2) != 0)
            blocks.emplace_back(i * kBlock, std::min<size_t>(kBlock, work - i * kBlock));
    return blocks;
}

Step Send(std::string bytes, Step::Kind kind) {
    Step step;
    step.send = std::move(bytes);
    step.kind = kind;
    return step;
}
Step Receive(size_t count) {
    Step step;
    step.receive = count;
    return step;
}

Script OriginalPart(const std::string& original, const std::string& copy) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work);
    Script s{Send(Word(0)), Receive(4), Receive(4)};
    if (original.size() == copy.size()) {
        s.push_back(Send(Byte(0)));
    } else {
        s.push_back(Send(Byte(1)));
        s.push_back(Send(Word(static_cast<uint32_t>(original.size()))));
    }
    s.push_back(Send(Word(kBlock)));
    s.push_back(Send(CrcList(original, work)));
    s.push_back(Receive(CrcList(copy, work).size()));
    if (!damaged.empty()) {
        Step blocks = Send("", Step::kBlocks);
        blocks.blocks = damaged;
        std::string verify;
        for (auto& b : damaged) {
            blocks.send += original.substr(b.first, b.second);
            verify += CrcList(original.substr(b.first, b.second), b.second);
        }
        s.push_back(blocks);
        s.push_back(Send(verify));
        s.push_back(Receive(verify.size()));
    }
    if (original.size() > copy.size()) {
        Step tail = Send(original.substr(copy.size()), Step::kTail);
        tail.tailAt = copy.size();
        s.push_back(tail);
    }
    return s;
}

Script CopyPart(const std::string& original, const std::string& copy) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work);
    Script s{Send(Word(1)), Receive(4), Send(Word(static_cast<uint32_t>(copy.size())))};
    s.push_back(Receive(original.size() == copy.size() ? 5 : 9));
    s.push_back(Receive(CrcList(original, work).size()));
    s.push_back(Send(CrcList(copy, work)));
    if (!damaged.empty()) {
        size_t bytes = 0;
        std::string verify;
        for (auto& b : damaged) {
            bytes += b.second;
            verify += CrcList(original.substr(b.first, b.second), b.second);
        }
        s.push_back(Receive(bytes));
        s.push_back(Receive(verify.size()));
        s.push_back(Send(verify));
    }
    s.push_back(Receive(original.size() - copy.size()));
    return s;
}

Script WholeFilePart(const std::string& original, const std::string& name) {
    Script s{Send(Word(0)), Receive(4), Send(NameRecord(name)), Receive(1),
             Send(Word(static_cast<uint32_t>(original.size())))};
    s.push_back(Send(original, Step::kTail));
    return s;
}

std::string FileAfterCut(std::string file, const Script& script, size_t cut) {
    size_t sent = 0;
    for (const Step& step : script) {
        if (sent >= cut) break;
        size_t arrived = std::min(step.send.size(), cut - sent);
        if (step.kind == Step::kBlocks) {
            size_t at = 0;
            for (auto& b : step.blocks) {
                if (at + b.second > arrived) break;
                file.replace(b.first, b.second, step.send, at, b.second);
                at += b.second;
            }
        } else if (step.kind == Step::kTail) {
            size_t whole = arrived == step.send.size() ? arrived : arrived / kPiece * kPiece;
            if (file.size() < step.tailAt + whole) file.resize(step.tailAt + whole);
            file.replace(step.tailAt, whole, step.send, 0, whole);
        }
        sent += step.send.size();
    }
    return file;
}

void Play(ScriptedPeer& peer, const Script& script, size_t cut, int timeoutMs) {
    // Each message goes out as it is written, not held back for the ACK of
    // the last one, as the program's own sockets send.
    int on = 1;
    setsockopt(static_cast<int>(peer.sock.sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
    size_t sent = 0;
    for (const Step& step : script) {
        if (step.receive > 0) {
            std::string got;
            if (!PeerReceive(peer, step.receive, &got, timeoutMs)) break;
            continue;
        }
        if (sent >= cut) break;
        size_t n = std::min(step.send.size(), cut - sent);
        if (!PeerSend(peer, step.send.substr(0, n))) break;
        sent += n;
        if (sent >= cut) break;
    }
    ShutdownSend(peer);
    std::string rest;
    PeerReceiveUntilClosed(peer, &rest, 20000);
    SocketClose(peer.sock);
}

size_t ScriptBytes(const Script& s) {
    size_t n = 0;
    for (const Step& step : s) n += step.send.size();
    return n;
}

std::vector<size_t> CutPoints(const Script& script) {
    std::set<size_t> cuts;
    size_t at = 0;
    for (const Step& step : script) {
        size_t n = step.send.size();
        if (n == 0) continue;
        cuts.insert(at);
        if (n > 1) {
            cuts.insert(at + 1);
            cuts.insert(at + n / 2);
            cuts.insert(at + n - 1);
        }
        if (step.kind == Step::kTail && n > kPiece) cuts.insert(at + kPiece + 1);
        at += n;
    }
    return std::vector<size_t>(cuts.begin(), cuts.end());
}

