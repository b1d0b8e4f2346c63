// delay_relay: the delay of a long link for the link rows of bench/run. It
// accepts one TCP connection on 127.0.0.1, connects to the target and
// forwards both directions, holding every piece it reads for DELAY_MS before
// it writes it on (order kept; an end of stream is held as long and then
// passed on as a half-close). The kernel here has no delaying qdisc, so the
// delay is added by this one process in the connecting side's namespace.
//
//   delay_relay LISTEN_PORT TARGET_IPV4 TARGET_PORT DELAY_MS
//
// It prints "listening" once it listens and, when both directions have
// ended, one line of counts:
//   up BYTES down BYTES trips N changes N
// "up" is what the connecting side sent, "down" what it received. "changes"
// counts the times the direction of the data changed. "trips" is the longest
// chain of one-way trips: a piece read from one side is one trip further
// than the furthest piece already handed to that side, so pieces that cross
// at the same time do not count twice. Over a delayed link, each trip costs
// the delay once.
//
// One thread; everything is non-blocking and driven by ppoll.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr size_t kPieceSize = 64 * 1024;
// A direction stops reading while this much waits in it, so a fast sender
// meets the back pressure of the slower link behind the relay.
constexpr size_t kQueueLimit = 16u << 20;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "delay_relay: %s: %s\n", what, strerror(errno));
    exit(1);
}

int64_t NowMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

struct Piece {
    int64_t due;              // when it may be written on
    std::vector<char> bytes;  // what was read
    size_t written = 0;       // how much of it has been written on
    uint64_t trip = 0;        // its place in the chain of one-way trips
};

// One direction: read from `from`, write to `to`.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Piece> queue;
    size_t queued = 0;       // bytes in the queue not yet written
    bool readEnded = false;  // end of stream (or an error) read from `from`
    bool failed = false;     // that end was an error, passed on as a reset
    int64_t endDue = 0;      // when the end may be passed on
    bool done = false;       // the end has been passed on
    uint64_t bytes = 0;      // bytes written on
};

struct Counts {
    uint64_t trips = 0;         // longest chain so far
    uint64_t handedTo[2] = {};  // per side: furthest trip handed to it
    int lastSide = -1;
    uint64_t changes = 0;
};

void SetNonBlocking(int fd) {
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) Fail("fcntl");
}

// Small pieces leave at once: the relay holds them for the delay itself.
void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in Address(const char* ip, const char* port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(port)));
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        fprintf(stderr, "delay_relay: bad address %s\n", ip);
        exit(2);
    }
    return addr;
}

// Reads what `from` has into the queue; false when it would block or the
// stream has ended. A piece leaves `delay` after it was read, but not before
// `earliest` plus the delay (what the connecting side sends before the
// link's set-up would have finished).
bool ReadSome(Direction& d, int side, Counts& counts, int64_t delay, int64_t earliest) {
    static char buffer[kPieceSize];
    ssize_t n = recv(d.from, buffer, kPieceSize, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    int64_t now = NowMicros();
    if (n <= 0) {
        d.readEnded = true;
        d.failed = n < 0;
        d.endDue = (now > earliest ? now : earliest) + delay;
        return false;
    }
    // A piece holds exactly what was read: thousands of small ones may wait.
    Piece piece;
    piece.bytes.assign(buffer, buffer + n);
    piece.due = (now > earliest ? now : earliest) + delay;
    piece.trip = counts.handedTo[side] + 1;
    if (piece.trip > counts.trips) counts.trips = piece.trip;
    if (counts.lastSide != side && counts.lastSide >= 0) ++counts.changes;
    counts.lastSide = side;
    d.queued += static_cast<size_t>(n);
    d.queue.push_back(std::move(piece));
    return true;
}

// Writes the pieces that are due; false when the peer is gone.
bool WriteDue(Direction& d, int toSide, Counts& counts, int64_t now) {
    while (!d.queue.empty() && d.queue.front().due <= now) {
        Piece& p = d.queue.front();
        ssize_t n = send(d.to, p.bytes.data() + p.written, p.bytes.size() - p.written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        p.written += static_cast<size_t>(n);
        d.queued -= static_cast<size_t>(n);
        d.bytes += static_cast<uint64_t>(n);
        if (p.trip > counts.handedTo[toSide]) counts.handedTo[toSide] = p.trip;
        if (p.written == p.bytes.size()) d.queue.pop_front();
    }
    if (d.queue.empty() && d.readEnded && !d.done && d.endDue <= now) {
        if (d.failed) {
            // Pass a reset on as a reset, not as an orderly end.
            linger hard{1, 0};
            setsockopt(d.to, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            return false;
        }
        shutdown(d.to, SHUT_WR);
        d.done = true;
    }
    return true;
}

// The earliest time at which something of d becomes due, or -1.
int64_t NextDue(const Direction& d) {
    if (!d.queue.empty()) return d.queue.front().due;
    if (d.readEnded && !d.done) return d.endDue;
    return -1;
}

// Forwards until both directions have passed their end on, or one peer is
// gone. The target is connected once the set-up of the long link would have
// let the connection through.
void Relay(int client, const sockaddr_in& target, int64_t delay, Counts& counts, uint64_t bytes[2]) {
    Direction dirs[2];
    dirs[0].from = client;  // up: the connecting side to the target
    dirs[1].to = client;    // down
    int64_t accepted = NowMicros();
    // On the long link the connecting side could send only after two
    // one-way trips, and the target would accept after the third.
    int64_t sendFrom = accepted + 2 * delay;
    int64_t connectAt = accepted + 3 * delay;
    Fd server(-1);
    for (;;) {
        int64_t now = NowMicros();
        if (server.fd < 0 && now >= connectAt) {
            server.fd = socket(AF_INET, SOCK_STREAM, 0);
            if (server.fd < 0) Fail("socket");
            if (connect(server.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) Fail("connect");
            SetNoDelay(server.fd);
            SetNonBlocking(server.fd);
            dirs[0].to = server.fd;
            dirs[1].from = server.fd;
        }
        bool gone = false;
        for (int i = 0; i < 2 && server.fd >= 0; ++i) gone = gone || !WriteDue(dirs[i], 1 - i, counts, now);
        if (gone || (dirs[0].done && dirs[1].done)) break;
        pollfd fds[2] = {{client, 0, 0}, {server.fd, 0, 0}};
        int64_t wake = server.fd < 0 ? connectAt : -1;
        for (int i = 0; i < 2; ++i) {
            Direction& d = dirs[i];
            if (d.from >= 0 && !d.readEnded && d.queued < kQueueLimit) fds[i].events |= POLLIN;
            if (d.to >= 0 && !d.queue.empty() && d.queue.front().due <= now) fds[1 - i].events |= POLLOUT;
            int64_t due = NextDue(d);
            if (due > now && (wake < 0 || due < wake)) wake = due;
        }
        // A socket with nothing asked of it would report a hang-up at once.
        for (pollfd& f : fds) {
            if (f.events == 0) f.fd = -1;
        }
        timespec timeout{};
        if (wake >= 0) {
            timeout.tv_sec = (wake - now) / 1000000;
            timeout.tv_nsec = ((wake - now) % 1000000) * 1000;
        }
        if (ppoll(fds, 2, wake >= 0 ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) Fail("ppoll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int64_t earliest = i == 0 ? sendFrom : 0;
            while (!dirs[i].readEnded && dirs[i].queued < kQueueLimit &&
                   ReadSome(dirs[i], i, counts, delay, earliest)) {
            }
        }
    }
    bytes[0] = dirs[0].bytes;
    bytes[1] = dirs[1].bytes;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: delay_relay LISTEN_PORT TARGET_IPV4 TARGET_PORT DELAY_MS\n");
        return 2;
    }
    int64_t delay = static_cast<int64_t>(atof(argv[4]) * 1000);
    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    if (listener.fd < 0) Fail("socket");
    int one = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = Address("127.0.0.1", argv[1]);
    if (bind(listener.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) Fail("bind");
    if (listen(listener.fd, 1) != 0) Fail("listen");
    sockaddr_in target = Address(argv[2], argv[3]);
    puts("listening");
    fflush(stdout);
    Fd client(accept(listener.fd, nullptr, nullptr));
    if (client.fd < 0) Fail("accept");
    SetNoDelay(client.fd);
    SetNonBlocking(client.fd);
    Counts counts;
    uint64_t bytes[2] = {};
    Relay(client.fd, target, delay, counts, bytes);
    printf("up %llu down %llu trips %llu changes %llu\n", static_cast<unsigned long long>(bytes[0]),
           static_cast<unsigned long long>(bytes[1]), static_cast<unsigned long long>(counts.trips),
           static_cast<unsigned long long>(counts.changes));
    return 0;
}
