// LoopbackClient: blocking socket, pumped waits.
#include "loopback_client.h"
#include "test_hub.h"

namespace {
const DWORD kSliceMs = 5;
}

LoopbackClient::LoopbackClient(unsigned port) {
    m_socket.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!m_socket) return;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = ::connect(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

unsigned LoopbackClient::LocalPort() const {
    sockaddr_in address = {};
    int length = sizeof address;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool LoopbackClient::Send(const Bytes &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = ::send(m_socket.Get(), reinterpret_cast<const char *>(bytes.data()) + sent,
                       static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool LoopbackClient::WaitReadable(DWORD timeoutMs) {
    return PumpUntil(
        [this] {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket.Get(), &readable);
            timeval timeout = {0, static_cast<long>(kSliceMs * 1000)};
            return ::select(0, &readable, nullptr, nullptr, &timeout) != 0;
        },
        timeoutMs);
}

LoopbackClient::Bytes LoopbackClient::Receive(size_t n, DWORD timeoutMs) {
    Bytes out;
    DWORD start = ::GetTickCount();
    while (out.size() < n) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs || !WaitReadable(timeoutMs - elapsed)) break;
        char buffer[4096];
        size_t want = n - out.size() < sizeof buffer ? n - out.size() : sizeof buffer;
        int got = ::recv(m_socket.Get(), buffer, static_cast<int>(want), 0);
        if (got <= 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

bool LoopbackClient::WaitClosedByHub(DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs || !WaitReadable(timeoutMs - elapsed)) return false;
        char buffer[4096];
        if (::recv(m_socket.Get(), buffer, sizeof buffer, 0) <= 0) return true;
    }
}

void LoopbackClient::Close() { m_socket.Reset(); }

void LoopbackClient::Reset() {
    linger abortive = {1, 0};
    ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abortive), sizeof abortive);
    m_socket.Reset();
}
