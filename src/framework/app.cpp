// Application object and the process-wide cells other threads read.
//
// The main window handle is the one value worker threads need from the main
// thread; it is published through an interlocked cell so that a reader thread
// started later always sees the final value.
#include "framework/app.h"
#include "framework/frame_window.h"
#include <cstring>

namespace fw {

namespace {
// Written by the main thread (start-up, window destruction); read by any thread.
volatile LONG g_mainWindow = 0;
}

Application *Application::s_pInstance = nullptr;

Application::Application() { s_pInstance = this; }

Application::~Application() {
    if (s_pInstance == this) s_pInstance = nullptr;
}

void Application::SetMainWindow(FrameWindow *wnd) {
    if (wnd) wnd->SetEndsMessageLoop(true);
}

int Application::Run(HINSTANCE instance, const char *commandLine) {
    m_hInstance = instance;
    m_strCommandLine = commandLine ? commandLine : "";
    if (!InitInstance()) return 0;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

HWND MainWindowHandle() {
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(::InterlockedCompareExchange(&g_mainWindow, 0, 0)));
}

void SetMainWindowHandle(HWND wnd) {
    ::InterlockedExchange(&g_mainWindow, static_cast<LONG>(reinterpret_cast<LONG_PTR>(wnd)));
}

HINSTANCE ResourceInstance() { return ::GetModuleHandleA(nullptr); }

std::string LoadResString(UINT id) {
    char buf[1024];
    int n = ::LoadStringA(ResourceInstance(), id, buf, sizeof buf);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

const std::string &AppTitle() {
    // 57344 is the application title by convention of the resource script.
    static const std::string title = [] {
        std::string t = LoadResString(57344);
        return t.empty() ? std::string("Orlesk") : t;
    }();
    return title;
}

const char *GetModuleDir() {
    // Filled on the first call, which start-up makes before any thread exists.
    static char dir[1025];
    static bool done = false;
    if (!done) {
        DWORD n = ::GetModuleFileNameA(nullptr, dir, 1024);
        dir[n < 1024 ? n : 1024] = '\0';
        char *slash = strrchr(dir, '\\');
        if (slash) slash[1] = '\0';
        done = true;
    }
    return dir;
}

}  // namespace fw
