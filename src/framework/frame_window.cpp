// Window procedure plumbing for FrameWindow.
#include "framework/frame_window.h"
#include "framework/trace.h"
#include "framework/app.h"

namespace fw {

namespace {
const char kFrameClass[] = "NorvaneFrame";
}  // namespace

bool FrameWindow::RegisterFrameClass() {
    WNDCLASSA wc = {};
    if (::GetClassInfoA(ResourceInstance(), kFrameClass, &wc)) return true;
    wc.lpfnWndProc = StaticProc;
    wc.hInstance = ResourceInstance();
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kFrameClass;
    return ::RegisterClassA(&wc) != 0;
}

FrameWindow::~FrameWindow() {
    if (m_hWnd) {
        ::SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

BOOL FrameWindow::Create(const char *title, DWORD style) {
    if (!RegisterFrameClass()) return FALSE;
    HWND hwnd = ::CreateWindowExA(0, kFrameClass, title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, ResourceInstance(), this);
    return hwnd != nullptr;
}

LRESULT FrameWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    return Default(msg, wParam, lParam);
}

LRESULT CALLBACK FrameWindow::StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        // The object arrives with the creation data; from here on every
        // message of this window reaches it.
        auto *cs = reinterpret_cast<CREATESTRUCTA *>(lParam);
        auto *created = static_cast<FrameWindow *>(cs->lpCreateParams);
        created->m_hWnd = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
        if (created->m_bEndsLoop) SetMainWindowHandle(hwnd);
    }
    auto *self = reinterpret_cast<FrameWindow *>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    LRESULT result = 0;
    ++self->m_nDepth;
    try {
        result = self->WindowProc(msg, wParam, lParam);
    } catch (...) {
        result = 0;  // a handler's failure must not unwind through the system
        Trace("window message 0x%X dropped: its handler failed", msg);
    }
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        if (self->m_bEndsLoop) {
            SetMainWindowHandle(nullptr);
            ::PostQuitMessage(0);
        }
        self->m_bDestroyPending = true;
    }
    self->LeaveHandler();
    return result;
}

void FrameWindow::LeaveHandler() {
    if (--m_nDepth == 0 && m_bDestroyPending) {
        m_bDestroyPending = false;
        PostNcDestroy();  // may delete this
    }
}

}  // namespace fw
