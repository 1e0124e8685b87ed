// A real hub window inside a test process.
//
// Tests drive the hub as the program does: a CHubFrame created on the test's
// thread, whose messages the test pumps while it waits for something to
// happen. Settings go to a registry key of the test's own so that tests
// never see each other's values.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

class CHubFrame;

class TestHub {
public:
    TestHub();
    ~TestHub();  // closes the hub (OnClose) if it still exists
    TestHub(const TestHub &) = delete;
    TestHub &operator=(const TestHub &) = delete;

    CHubFrame *operator->() const { return m_pHub; }
    CHubFrame *Get() const { return m_pHub; }
    HWND Window() const { return m_hWnd; }
    bool Alive() const { return m_hWnd && ::IsWindow(m_hWnd); }
    const std::string &SettingsPath() const { return m_strSettingsPath; }
    // Shuts down as WM_CLOSE would; the hub object is gone afterwards.
    void Close();

private:
    CHubFrame *m_pHub = nullptr;  // deletes itself when its window goes
    HWND m_hWnd = nullptr;
    bool m_bWinsock = false;
    std::string m_strSettingsPath;
};

// Dispatches this thread's messages until the predicate holds or the time is
// up; returns the predicate's last value.
bool PumpUntil(const std::function<bool()> &done, DWORD timeoutMs);
// Dispatches this thread's messages for the given time.
void PumpFor(DWORD ms);
