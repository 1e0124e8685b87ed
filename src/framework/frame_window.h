// A top-level window whose messages go to a C++ object.
//
// The static procedure finds the object through the window's user data, set
// at WM_NCCREATE, and calls the virtual WindowProc. Nothing thrown by a
// handler leaves the procedure: Windows cannot unwind through its own frames.
//
// A handler may destroy its own window (shutdown) while an outer handler of
// the same window is still on the stack, waiting in a modal loop or a message
// box. PostNcDestroy (which may delete the object) is therefore deferred until
// the outermost handler has returned: the window is gone at once, the object
// only when nobody is running inside it.
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

    // Keeps the object alive across a modal loop entered from outside the
    // window procedure (a dialog button calling into the window).
    class BusyScope {
    public:
        explicit BusyScope(FrameWindow &w) : m_w(w) { ++m_w.m_nDepth; }
        ~BusyScope() { m_w.LeaveHandler(); }
        BusyScope(const BusyScope &) = delete;
        BusyScope &operator=(const BusyScope &) = delete;
    private:
        FrameWindow &m_w;
    };

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
    void LeaveHandler();  // may delete this
    HWND m_hWnd = nullptr;
    bool m_bEndsLoop = false;
    int m_nDepth = 0;               // handlers of this object on the stack
    bool m_bDestroyPending = false; // the window is gone; PostNcDestroy waits for depth 0
};

}  // namespace fw
