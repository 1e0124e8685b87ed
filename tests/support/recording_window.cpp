// Stand-in hub window for stream tests; see recording_window.h.
#include "recording_window.h"

#include "app/hub_messages.h"
#include "framework/app.h"
#include "stream/packet.h"

namespace {
const char kClassName[] = "NorvaneRecordingHubWindow";
}

RecordingHubWindow::RecordingHubWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    ::RegisterClassA(&wc);  // fails harmlessly when a second instance registers again
    m_hWnd = ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    m_hPrevMain = fw::MainWindowHandle();
    fw::SetMainWindowHandle(m_hWnd);
}

RecordingHubWindow::~RecordingHubWindow() {
    fw::SetMainWindowHandle(m_hPrevMain);
    if (m_hWnd) ::DestroyWindow(m_hWnd);
}

LRESULT CALLBACK RecordingHubWindow::WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto *cs = reinterpret_cast<CREATESTRUCTA *>(lParam);
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto *self = reinterpret_cast<RecordingHubWindow *>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (self && (msg == WM_STREAM_CONNECT || msg == WM_STREAM_FOREIGN)) {
        RecordedMessage rec{msg, wParam, {}};
        if (msg == WM_STREAM_CONNECT && lParam) {
            const auto *p = reinterpret_cast<const unsigned char *>(lParam);
            rec.packet.assign(p, p + PacketSize(p));
        }
        self->m_messages.push_back(rec);
        if (msg == WM_STREAM_CONNECT && self->onConnect) self->onConnect(wParam);
        return 0;
    }
    return ::DefWindowProcA(hWnd, msg, wParam, lParam);
}
