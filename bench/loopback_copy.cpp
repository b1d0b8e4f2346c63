// loopback_copy: the reference for the whole-file benchmark case. A plain
// loopback socket copy into a file, with nothing of Blockmend in it: one
// process listens and writes what it receives to a new file, the other
// connects and sends a file. Each side is one thread of read and write calls
// on blocking POSIX sockets and files.
//   loopback_copy receive PORT OUTFILE   (prints "listening" once it listens)
//   loopback_copy send IPV4 PORT INFILE
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr size_t kBufferSize = 1u << 20;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "loopback_copy: %s: %s\n", what, strerror(errno));
    exit(1);
}

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

sockaddr_in Address(const char* ip, const char* port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(port)));
    addr.sin_addr.s_addr = ip ? inet_addr(ip) : htonl(INADDR_ANY);
    return addr;
}

int Receive(const char* port, const char* path) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = Address(nullptr, port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("bind");
    if (listen(listener, 1) != 0) Fail("listen");
    puts("listening");
    fflush(stdout);
    int sock = accept(listener, nullptr, nullptr);
    if (sock < 0) Fail("accept");
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) Fail(path);
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        ssize_t n = recv(sock, buffer.get(), kBufferSize, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("recv");
        if (n == 0) break;
        if (!WriteAll(out, buffer.get(), static_cast<size_t>(n))) Fail("write");
    }
    // On the disk before it counts as received, as Blockmend's own file.
    if (fdatasync(out) != 0) Fail("fdatasync");
    close(out);
    close(sock);
    close(listener);
    return 0;
}

int Send(const char* ip, const char* port, const char* path) {
    int in = open(path, O_RDONLY);
    if (in < 0) Fail(path);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Address(ip, port);
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        ssize_t n = read(in, buffer.get(), kBufferSize);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("read");
        if (n == 0) break;
        if (!WriteAll(sock, buffer.get(), static_cast<size_t>(n))) Fail("send");
    }
    close(sock);
    close(in);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "receive") == 0) return Receive(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "send") == 0) return Send(argv[2], argv[3], argv[4]);
    fprintf(stderr, "usage: loopback_copy receive PORT OUTFILE | send IPV4 PORT INFILE\n");
    return 2;
}
