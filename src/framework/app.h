// The application object: start-up hook, message loop, main window and title.
//
// The hub has exactly one application object. Other threads need two things
// from it, the main window's handle (to send hand-overs) and the executable's
// directory (for logs and plug-ins), so both are kept in process-wide cells
// that are written once on the main thread before any other thread starts.
#pragma once
#include <windows.h>
#include <string>

namespace fw {

class FrameWindow;

class Application {
public:
    Application();
    virtual ~Application();
    Application(const Application &) = delete;
    Application &operator=(const Application &) = delete;

    // TRUE runs the message loop; FALSE ends the process at once.
    virtual BOOL InitInstance() = 0;
    // Runs InitInstance and then the loop until the main window is destroyed.
    int Run(HINSTANCE instance, const char *commandLine);

    static Application *Instance() { return s_pInstance; }
    HINSTANCE InstanceHandle() const { return m_hInstance; }
    const std::string &CommandLine() const { return m_strCommandLine; }

protected:
    // Registers the window whose destruction ends the message loop.
    void SetMainWindow(FrameWindow *wnd);

private:
    static Application *s_pInstance;
    HINSTANCE m_hInstance = nullptr;
    std::string m_strCommandLine;
};

// The hub window, as every stream and plug-in record looks it up. Written by
// the main thread when the window exists, read by any thread.
HWND MainWindowHandle();
void SetMainWindowHandle(HWND wnd);

// The module instance that holds the resources (string table, dialogs, icons).
HINSTANCE ResourceInstance();

// The application title, string 57344; the caption of every message box.
const std::string &AppTitle();

// Text of a string resource; empty when it is missing.
std::string LoadResString(UINT id);

// Directory of the executable with a trailing backslash; computed once.
const char *GetModuleDir();

}  // namespace fw
