// TCP link on POSIX sockets.
#include "link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace handheld {

namespace {

class TcpLink final : public Link {
public:
    explicit TcpLink(int fd) : m_fd(fd) {}
    ~TcpLink() override { close(m_fd); }
    bool Send(const uint8_t *bytes, size_t count) override {
        while (count) {
            ssize_t n = send(m_fd, bytes, count, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    int Receive(uint8_t *buffer, size_t size) override {
        for (;;) {
            ssize_t n = recv(m_fd, buffer, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return static_cast<int>(n);
        }
    }
    void Shutdown() override { shutdown(m_fd, SHUT_RDWR); }

private:
    int m_fd;
};

}  // namespace

std::unique_ptr<Link> ConnectTcp(const std::string &host, unsigned port, std::string *error) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return nullptr;
    }
    int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd < 0 || connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        *error = std::string("cannot connect: ") + strerror(errno);
        if (fd >= 0) close(fd);
        freeaddrinfo(found);
        return nullptr;
    }
    freeaddrinfo(found);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::unique_ptr<Link>(new TcpLink(fd));
}

void SleepMs(unsigned ms) {
    timespec delay = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

}  // namespace handheld
