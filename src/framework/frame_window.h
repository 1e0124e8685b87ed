// A top-level window whose messages go to a C++ object.
//
// The static procedure finds the object through the window's user data, set
// at WM_NCCREATE, and calls the virtual WindowProc. Nothing thrown by a
// handler leaves the procedure: Windows cannot unwind through its own frames.
#pragma once
#include <windows.h>

namespace fw {

class FrameWindow {
public:
    FrameWindow() = default;
    virtual ~FrameWindow();
    FrameWindow(const FrameWindow &) = delete;
    FrameWindow &operator=(const FrameWindow &) = delete;

    // Creates the window with the shared frame class. FALSE when creation failed.
    BOOL Create(const char *title, DWORD style);
    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
    void SetEndsMessageLoop(bool on) { m_bEndsLoop = on; }

protected:
    // Handlers return the message result; the default goes to DefWindowProc.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam) {
        return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
    }
    // Called after the window is gone (WM_NCDESTROY); the default does nothing.
    // A heap-allocated main window deletes itself here.
    virtual void PostNcDestroy() {}

private:
    static bool RegisterFrameClass();
    static LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hWnd = nullptr;
    bool m_bEndsLoop = false;
};

}  // namespace fw
