// A socket whose network events arrive as calls on the thread that created it.
//
// The hub's tables belong to the hub window's thread, so a listening socket
// must tell that thread, and only that thread, that a connection waits.
// WSAAsyncSelect posts the events to a hidden message-only window that this
// class creates on the creating thread; its procedure turns them into virtual
// calls. The message loop of that thread (or any modal loop on it) delivers
// them, so OnAccept runs where the tables may be touched without a lock.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "framework/handles.h"

namespace fw {

class AsyncSocket {
public:
    // Every notification a socket can ask for.
    static const long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

    AsyncSocket() = default;
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket &) = delete;
    AsyncSocket &operator=(const AsyncSocket &) = delete;

    // A TCP socket bound to `port` on every local address, its `events`
    // reported on this thread. FALSE on failure, with WSAGetLastError telling
    // the error of the call that failed. Use, close and destroy the socket on
    // this thread only: the hidden window belongs to it.
    BOOL Create(UINT port, long events = kAllEvents);
    BOOL Listen(int backlog) { return ::listen(m_socket.Get(), backlog) == 0; }
    // The pending connection as a socket of its own: non-blocking and without
    // the notifications it inherits from this one. INVALID_SOCKET on failure;
    // the caller owns the result.
    SOCKET Accept();
    // A connection waits to be accepted (the listener reads as readable).
    bool HasPendingConnection() const {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(m_socket.Get(), &ready);
        timeval now = {0, 0};
        return IsOpen() && ::select(0, &ready, nullptr, nullptr, &now) == 1;
    }
    void Close();
    SOCKET Handle() const { return m_socket.Get(); }
    bool IsOpen() const { return m_socket.IsValid(); }
    // The local port, useful after Create(0); 0 when unknown.
    UINT LocalPort() const;

protected:
    virtual void OnAccept(int error) {}
    virtual void OnClose(int error) {}

private:
    static LRESULT CALLBACK NotifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void OnNotify(SOCKET socket, LPARAM lParam);

    Socket m_socket;       // creating thread only
    Window m_notifyWnd;    // hidden message-only window of the creating thread
};

}  // namespace fw
