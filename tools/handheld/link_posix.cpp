// TCP link on POSIX sockets.
#include "link.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <termios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
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

// A device has no shutdown that wakes a blocked read, so reads wait in short
// slices and look at the flag in between.
class SerialLink final : public Link {
public:
    explicit SerialLink(int fd) : m_fd(fd) {}
    ~SerialLink() override { close(m_fd); }
    bool Send(const uint8_t *bytes, size_t count) override {
        while (count) {
            ssize_t n = write(m_fd, bytes, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    int Receive(uint8_t *buffer, size_t size) override {
        while (!m_shut) {
            pollfd p = {m_fd, POLLIN, 0};
            int ready = poll(&p, 1, 100);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return -1;
            if (ready == 0) continue;
            ssize_t n = read(m_fd, buffer, size);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return n == 0 ? 0 : -1;  // 0: the other end of a pty closed
            return static_cast<int>(n);
        }
        return -1;
    }
    void Shutdown() override { m_shut = true; }

private:
    int m_fd;
    std::atomic<bool> m_shut{false};
};

}  // namespace

std::unique_ptr<Link> OpenSerial(const std::string &device, std::string *error) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        *error = std::string("cannot open: ") + strerror(errno);
        return nullptr;
    }
    termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B57600);
        cfsetospeed(&tio, B57600);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return std::unique_ptr<Link>(new SerialLink(fd));
}

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
