// Scripts of an honest peer and the file a cut leaves (test thread).
#include "tests/support/wire_script.h"

#include <algorithm>
#include <set>

#include "wire/crc16.h"
#include "wire/strong_hash.h"

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

std::string OfferWord2(int fileType, uint8_t options) {
    return std::string("BM") + static_cast<char>(2 | options) + (fileType == 0 ? 'O' : 'C');
}

std::string SizeWord(uint64_t size, int protocol) {
    std::string word(protocol == 1 ? 4 : 8, '\0');
    for (size_t i = 0; i < word.size(); ++i) word[i] = static_cast<char>(size >> (8 * i));
    return word;
}

std::string CrcList(const std::string& bytes, size_t to, int protocol, size_t from) {
    std::string list;
    for (size_t at = from; at < to; at += kBlock) {
        size_t n = std::min<size_t>(kBlock, to - at);
        const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        if (protocol == 1) {
            uint16_t crc = Crc16Update(0xFFFF, data, n);
            list += static_cast<char>(crc & 0xFF);
            list += static_cast<char>(crc >> 8);
        } else {
            list += SizeWord(ChunkTermSum(data, n, at).lo, 2);
        }
    }
    return list;
}

std::string Digest(const std::string& file, size_t compared, bool readWhole) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(file.data());
    U128 sum = Add128(ChunkTermSum(data, compared, 0), ChunkTermSum(data + compared, file.size() - compared, compared));
    std::string input = SizeWord(sum.lo, 2) + SizeWord(sum.hi, 2) + SizeWord(compared, 2) + SizeWord(file.size(), 2);
    if (readWhole) input += '\x01';
    U128 digest = Hash128(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    return SizeWord(digest.lo, 2) + SizeWord(digest.hi, 2);
}

std::vector<std::pair<size_t, size_t>> Damaged(const std::string& a, const std::string& b, size_t work,
                                               int protocol) {
    std::string ca = CrcList(a, work, protocol), cb = CrcList(b, work, protocol);
    const size_t w = protocol == 1 ? 2 : 8;
    std::vector<std::pair<size_t, size_t>> blocks;
    for (size_t i = 0; w * i < ca.size(); ++i)
        if (ca.compare(w * i, w, cb, w * i, w) != 0)
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

Script OriginalPart(const std::string& original, const std::string& copy, int protocol) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work, protocol);
    Script s{Send(protocol == 1 ? Word(0) : OfferWord2(0)), Receive(4), Receive(protocol == 1 ? 4 : 8)};
    if (original.size() == copy.size()) {
        s.push_back(Send(Byte(0)));
    } else {
        s.push_back(Send(Byte(1)));
        s.push_back(Send(SizeWord(original.size(), protocol)));
    }
    s.push_back(Send(Word(kBlock)));
    s.push_back(Send(CrcList(original, work, protocol)));
    s.push_back(Receive(CrcList(copy, work, protocol).size()));
    if (!damaged.empty()) {
        Step blocks = Send("", Step::kBlocks);
        blocks.blocks = damaged;
        std::string verify;
        for (auto& b : damaged) {
            blocks.send += original.substr(b.first, b.second);
            verify += CrcList(original, b.first + b.second, protocol, b.first);
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
    if (protocol == 2) {
        s.push_back(Send(Digest(original, work)));
        s.push_back(Receive(16));
    }
    return s;
}

Script CopyPart(const std::string& original, const std::string& copy, int protocol) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work, protocol);
    Script s{Send(protocol == 1 ? Word(1) : OfferWord2(1)), Receive(4), Send(SizeWord(copy.size(), protocol))};
    s.push_back(Receive(original.size() == copy.size() ? 5 : 5 + (protocol == 1 ? 4 : 8)));
    s.push_back(Receive(CrcList(original, work, protocol).size()));
    s.push_back(Send(CrcList(copy, work, protocol)));
    if (!damaged.empty()) {
        size_t bytes = 0;
        std::string verify;
        for (auto& b : damaged) {
            bytes += b.second;
            verify += CrcList(original, b.first + b.second, protocol, b.first);
        }
        s.push_back(Receive(bytes));
        s.push_back(Receive(verify.size()));
        s.push_back(Send(verify));
    }
    s.push_back(Receive(original.size() - copy.size()));
    if (protocol == 2) {
        s.push_back(Receive(16));
        s.push_back(Send(Digest(original, work)));
    }
    return s;
}

Script WholeFilePart(const std::string& original, const std::string& name, int protocol) {
    Script s{Send(protocol == 1 ? Word(0) : OfferWord2(0)), Receive(4), Send(NameRecord(name)), Receive(1),
             Send(SizeWord(original.size(), protocol))};
    s.push_back(Send(original, Step::kTail));
    if (protocol == 2) {
        s.push_back(Send(Digest(original, 0)));
        s.push_back(Receive(16));
    }
    return s;
}

Script NothingPart(const std::string& original) {
    return Script{Send(Word(2)), Receive(4), Receive(260), Send(Byte(1)), Receive(4), Receive(original.size())};
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

void Play(ScriptedPeer& peer, const Script& script, size_t cut, int timeoutMs, std::string* received) {
    // Each message goes out as it is written, not held back for the ACK of
    // the last one, as the program's own sockets send.
    int on = 1;
    setsockopt(static_cast<int>(peer.sock.sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
    size_t sent = 0;
    for (const Step& step : script) {
        if (step.receive > 0) {
            std::string got;
            bool whole = PeerReceive(peer, step.receive, &got, timeoutMs);
            if (received) *received += got;
            if (!whole) break;
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
    if (received) *received += rest;
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

