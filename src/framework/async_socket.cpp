// AsyncSocket: WSAAsyncSelect onto a hidden window of the creating thread.
//
// Every socket has its own window, so a notification names its receiver by
// the window alone; the socket handle in wParam is checked as well, because a
// notification posted before Close (or by a just-accepted socket, which
// inherits the listener's selection until Accept cancels it) may still be in
// the queue.
#include "framework/async_socket.h"

namespace fw {

namespace {
const char kNotifyClass[] = "NorvaneAsyncSocket";
const UINT kSocketNotify = WM_USER + 1;

bool RegisterNotifyClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSA wc = {};
    if (::GetClassInfoA(instance, kNotifyClass, &wc)) return true;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.lpszClassName = kNotifyClass;
    return ::RegisterClassA(&wc) != 0;
}

// Runs `cleanup` without losing the Winsock error of the call that failed.
template <class Cleanup>
BOOL FailKeepingError(Cleanup cleanup) {
    int error = ::WSAGetLastError();
    cleanup();
    ::WSASetLastError(error);
    return FALSE;
}
}  // namespace

AsyncSocket::~AsyncSocket() { Close(); }

BOOL AsyncSocket::Create(UINT port, long events) {
    Close();
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    if (!RegisterNotifyClass(instance, NotifyProc)) {
        ::WSASetLastError(static_cast<int>(::GetLastError()));
        return FALSE;
    }
    m_notifyWnd.Reset(::CreateWindowExA(0, kNotifyClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this));
    if (!m_notifyWnd) {
        ::WSASetLastError(static_cast<int>(::GetLastError()));
        return FALSE;
    }
    m_socket.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!m_socket) return FailKeepingError([this] { Close(); });
    if (::WSAAsyncSelect(m_socket.Get(), m_notifyWnd.Get(), kSocketNotify, events) != 0)
        return FailKeepingError([this] { Close(); });
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return FailKeepingError([this] { Close(); });
    return TRUE;
}

SOCKET AsyncSocket::Accept() {
    SOCKET accepted = ::accept(m_socket.Get(), nullptr, nullptr);
    if (accepted != INVALID_SOCKET) ::WSAAsyncSelect(accepted, m_notifyWnd.Get(), 0, 0);
    return accepted;
}

void AsyncSocket::Close() {
    m_socket.Reset();
    m_notifyWnd.Reset();  // queued notifications go with the window
}

UINT AsyncSocket::LocalPort() const {
    sockaddr_in address = {};
    int length = sizeof address;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

void AsyncSocket::OnNotify(SOCKET socket, LPARAM lParam) {
    if (socket != m_socket.Get()) return;  // stale, or a socket accepted from this one
    int error = WSAGETSELECTERROR(lParam);
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: OnAccept(error); break;
    case FD_CLOSE: OnClose(error); break;
    default: break;
    }
}

LRESULT CALLBACK AsyncSocket::NotifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto *cs = reinterpret_cast<CREATESTRUCTA *>(lParam);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    if (msg == kSocketNotify) {
        auto *self = reinterpret_cast<AsyncSocket *>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        try {
            if (self) self->OnNotify(static_cast<SOCKET>(wParam), lParam);
        } catch (...) {
            // a handler's failure must not unwind through the system
        }
        return 0;
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace fw
