// TestHub and the message pumps tests wait with.
#include "test_hub.h"
#include <winsock2.h>
#include "app/hub_frame.h"
#include "framework/app.h"
#include "host/registry_key.h"

TestHub::TestHub() {
    WSADATA wsa;
    m_bWinsock = ::WSAStartup(MAKEWORD(1, 1), &wsa) == 0;  // as the application's start-up does
    m_strSettingsPath = "Software\\Tarnwick\\NorvaneTest\\Hub" + std::to_string(::GetCurrentProcessId());
    auto *settings = new CRegistryKey;
    settings->Create(HKEY_CURRENT_USER, m_strSettingsPath.c_str());
    // Tests must not close an outside program that happens to run.
    settings->SetDword("AutoCloseHotSync", 0);
    m_pHub = new CHubFrame(settings);
    if (!m_pHub->Create("Norvane Test Frame", WS_OVERLAPPEDWINDOW)) {
        m_pHub = nullptr;  // deleted itself
        return;
    }
    m_hWnd = m_pHub->GetSafeHwnd();
    fw::SetMainWindowHandle(m_hWnd);
}

TestHub::~TestHub() {
    Close();
    ::RegDeleteKeyA(HKEY_CURRENT_USER, m_strSettingsPath.c_str());
    if (m_bWinsock) ::WSACleanup();
}

void TestHub::Close() {
    if (Alive()) m_pHub->OnClose();
    m_pHub = nullptr;
    m_hWnd = nullptr;
    fw::SetMainWindowHandle(nullptr);
}

bool PumpUntil(const std::function<bool()> &done, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (::GetTickCount() - start >= timeoutMs) return done();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}
