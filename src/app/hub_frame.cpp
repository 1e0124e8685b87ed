// Life cycle of the hub window: construction, creation, the one-second timer,
// the commands, and shutdown in a fixed order (connections, then plug-in
// threads, then plug-in records), so no plug-in ever sees a user after its
// record is gone.
#include "app/hub_frame.h"
#include <winsock2.h>
#include <cstring>
#include "app/hub_messages.h"
#include "app/quarantine.h"
#include "app/user_connection.h"
#include "framework/app.h"
#include "framework/file_find.h"
#include "framework/message_box.h"
#include "host/registry_key.h"
#include "resource.h"
#include "routing/plugin_record.h"
#include "stream/stream.h"
#include "ui/about_dialog.h"
#include "ui/main_dialog.h"
#include "ui/view_on_palm_dialog.h"

namespace {
const UINT_PTR kTimerId = 1;
const UINT kTimerPeriodMs = 1000;
const UINT kTrayIconId = IDR_TRAY_MENU;
}  // namespace

CHubFrame::CHubFrame(CRegistryKey *settings)
    : m_pMainDlg(nullptr), m_pViewOnPalmDlg(nullptr), m_pAboutDlg(nullptr), m_nHotSyncPort(1),
      m_bLogTraffic(FALSE), m_bLogPluginThreads(FALSE), m_bHotSyncClosed(FALSE), m_nTimer(0),
      m_hPowerPointWnd(nullptr), m_bPowerPointVisible(FALSE), m_hIcon(nullptr), m_bPairing(FALSE),
      m_pSettings(settings), m_pUserListener(nullptr), m_pPluginListener(nullptr) {
    m_listModel.SetMessageSink([](const char *text) { fw::AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION); });
    // The hub window has no window yet, so the main dialog gets no owner.
    m_pMainDlg = new CVelmarPCDlg(this);
    m_pMainDlg->Create(GetSafeHwnd());
    m_pViewOnPalmDlg = new CViewOnPalmDlg(this);
    m_pViewOnPalmDlg->Create(nullptr);
    m_hIcon = ::LoadIconA(fw::ResourceInstance(), MAKEINTRESOURCEA(IDI_TRAY));
    RemoveHotSyncNotifiers();
    if (GetAutoCloseHotSync()) CloseHotSync();
    CreateListenSockets();
}

CHubFrame::~CHubFrame() {
    CloseListenSockets();
    delete m_pMainDlg;
    delete m_pViewOnPalmDlg;
    if (m_pSettings) m_pSettings->Close();
    delete m_pSettings;
    // OnClose emptied both tables; whatever is left (a window destroyed
    // without WM_CLOSE) still goes in the same order.
    DestroyAllConnections();
    DestroyAllPlugins();
    m_trayIcon.RemoveIcon();
}

const char *CHubFrame::GetModuleDir() { return fw::GetModuleDir(); }

int CHubFrame::OnCreate() {
    if (!m_trayIcon.Create(GetSafeHwnd(), kTrayIconId, "Norvane", m_hIcon, WM_TRAY_NOTIFY, 1)) {
        fw::AppMessageBox("Failed to create tray icon", MB_OK | MB_ICONSTOP);
        return -1;
    }
    ScanPlugins();
    m_nTimer = ::SetTimer(GetSafeHwnd(), kTimerId, kTimerPeriodMs, nullptr);
    return 0;
}

void CHubFrame::ScanPlugins() {
    // Order as the file system returns it; a failure never stops the scan.
    for (const std::string &file : fw::FindFiles(std::string(GetModuleDir()) + "*.dll"))
        LoadPlugin(fw::FileTitle(file).c_str());
}

LRESULT CHubFrame::OnTimer() {
    CQuarantine::Purge(::GetTickCount());
    for (auto &entry : m_connections) {
        CStream *stream = entry.second->stream;
        if (stream && !stream->GetPeer()) stream->SendBeacon();
    }
    if (PowerPointWentAway()) OnClose();
    return 1;
}

void CHubFrame::DestroyAllConnections() {
    while (!m_connections.empty()) {
        auto it = m_connections.begin();
        CUserConnection *connection = it->second;
        m_connections.erase(it);
        delete connection;
    }
}

void CHubFrame::DestroyAllPlugins() {
    // Every plug-in thread is asked to quit before the first wait, so the
    // waits overlap instead of adding up.
    for (CPluginRecord *record : m_plugins) record->PostQuit();
    while (!m_plugins.empty()) {
        CPluginRecord *record = m_plugins.front();
        m_plugins.erase(m_plugins.begin());
        if (IsPluginLink(record))
            EndPluginLink(record);
        else
            delete record;
    }
    while (!m_pluginLinks.empty()) EndPluginLink(m_pluginLinks.front());
}

void CHubFrame::OnClose() {
    if (m_nTimer) {
        ::KillTimer(GetSafeHwnd(), m_nTimer);
        m_nTimer = 0;
    }
    DestroyAllConnections();
    DestroyAllPlugins();
    if (m_bHotSyncClosed) RestartHotSync();
    DestroyWindow();  // the main window: its end ends the message loop
}

void CHubFrame::ShowMainDialog() {
    m_pViewOnPalmDlg->ShowWindow(SW_HIDE);
    SetForegroundWindow();
    m_pMainDlg->SetWindowPos(HWND_TOP, SWP_SHOWWINDOW);
}

void CHubFrame::ShowViewOnPalmDialog() {
    m_pMainDlg->ShowWindow(SW_HIDE);
    SetForegroundWindow();
    m_pViewOnPalmDlg->SetWindowPos(HWND_TOPMOST, SWP_SHOWWINDOW);
}

void CHubFrame::ShowAboutBox() {
    if (m_pAboutDlg) {
        m_pAboutDlg->SetWindowPos(HWND_TOP, SWP_SHOWWINDOW);
        return;
    }
    BusyScope busy(*this);  // the hub may shut down while the box is open
    CAboutDlg about;
    m_pAboutDlg = &about;
    about.DoModal(nullptr);  // keeps dispatching this window's messages
    m_pAboutDlg = nullptr;
}

bool CHubFrame::OnCommand(WORD id) {
    switch (id) {
    case ID_SHOW_MAIN: ShowMainDialog(); return true;
    case ID_VIEW_ON_PALM: ShowViewOnPalmDialog(); return true;
    case ID_APP_ABOUT: ShowAboutBox(); return true;
    case ID_APP_EXIT: ::SendMessageA(GetSafeHwnd(), WM_CLOSE, 0, 0); return true;
    case ID_ADD_CONNECTION: m_pMainDlg->RunConnectionWizard(); return true;
    case ID_REMOVE_CONNECTION: m_pMainDlg->OnRemoveConnection(); return true;
    case ID_HELP_FINDER:
    case ID_DEFAULT_HELP:
    case ID_HELP:
    case ID_CONTEXT_HELP: OpenHelp(id); return true;
    default: return false;  // 32772 (Add Port) has no handler on purpose
    }
}

void CHubFrame::OpenHelp(WORD id) {
    // The help file sits beside the executable under its name, as the
    // platform's frame windows expect; topics for the first two commands.
    char path[1024];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path - 4);
    path[n] = '\0';
    if (char *dot = strrchr(path, '.')) strcpy(dot, ".hlp");
    UINT command = (id == ID_HELP_FINDER || id == ID_DEFAULT_HELP) ? HELP_FINDER : HELP_CONTENTS;
    ::WinHelpA(GetSafeHwnd(), path, command, 0);
}

LRESULT CHubFrame::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    // A restarted shell has forgotten every icon and says so to every
    // top-level window; without the icon the hub could not be reached.
    static const UINT s_taskbarCreated = ::RegisterWindowMessageA("TaskbarCreated");
    if (msg == s_taskbarCreated && msg != 0) {
        m_trayIcon.OnTaskbarCreated();
        return 0;
    }
    switch (msg) {
    case WM_CREATE: return OnCreate();
    case WM_TIMER: return OnTimer();
    case WM_CLOSE: OnClose(); return 0;
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam))) return 0;
        break;
    case WM_TRAY_NOTIFY: return m_trayIcon.OnTrayNotification(wParam, lParam);
    case WM_STREAM_CONNECT: return OnStreamConnect(wParam, lParam);
    case WM_STREAM_CLOSED: return OnStreamClosed(wParam, lParam);
    case WM_PLUGIN_LINK_FAILED: return OnPluginLinkFailed(wParam, lParam);
    case WM_PLUGIN_REGISTER: return OnPluginRegister(wParam, lParam);
    case WM_PLUGIN_LINK_ENDED: return OnPluginLinkEnded(wParam, lParam);
    default: break;
    }
    return Default(msg, wParam, lParam);
}
