// A handheld's end of a TCP connection to 127.0.0.1, for tests.
//
// The socket is blocking, but every wait pumps the calling thread's messages
// in between short selects: the hub window (or a stand-in) usually lives on
// the test's thread and must keep accepting and answering while the test
// waits for it.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <stdint.h>
#include <vector>
#include "framework/handles.h"

class LoopbackClient {
public:
    using Bytes = std::vector<uint8_t>;

    explicit LoopbackClient(unsigned port);
    bool Connected() const { return m_connected; }
    unsigned LocalPort() const;
    SOCKET Handle() const { return m_socket.Get(); }

    bool Send(const Bytes &bytes);
    // Up to n bytes; fewer when the time is up or the hub closed the link.
    Bytes Receive(size_t n, DWORD timeoutMs);
    // True when the hub closed or reset the link within the time (bytes that
    // arrive meanwhile are discarded).
    bool WaitClosedByHub(DWORD timeoutMs);
    // Orderly close (FIN) or abortive close (RST).
    void Close();
    void Reset();

private:
    // Pumps messages until the socket is readable or the time is up.
    bool WaitReadable(DWORD timeoutMs);

    fw::Socket m_socket;
    bool m_connected = false;
};

// Starts Winsock for the life of the object (tests without a hub window).
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() { ::WSACleanup(); }
};
