// The hub window: a hidden top-level window that owns every table of the hub.
//
// Every table (connections, plug-ins, list model) is touched only on this
// window's thread. Reader threads and plug-in streams reach it with the
// synchronous SendMessage, so the tables need no lock and every parameter of
// a hand-over stays valid while it is handled. The operations are grouped by
// concern into several source files (listening sockets, plug-in catalogue,
// router, serial connections, host couplings); this file holds the window's
// life cycle.
#pragma once
#include <windows.h>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "framework/frame_window.h"
#include "norvane_plugin.h"
#include "ui/list_model.h"
#include "ui/tray_notify_icon.h"

class CAboutDlg;
class CListenSocket;
class CPluginRecord;
class CRegistryKey;
class CUserConnection;
class CVelmarPCDlg;
class CViewOnPalmDlg;

class CHubFrame : public fw::FrameWindow {
public:
    explicit CHubFrame(CRegistryKey *settings);
    ~CHubFrame() override;

    // Commands and life cycle
    void ShowMainDialog();
    void ShowViewOnPalmDialog();
    void ShowAboutBox();
    void OnClose();
    static const char *GetModuleDir();

    // Listening sockets
    void CreateListenSockets();
    void CloseListenSockets();
    void AcceptUser();
    void AcceptPlugin();

    // Router
    LRESULT OnStreamConnect(WPARAM wParam, LPARAM lParam);
    LRESULT OnStreamClosed(WPARAM wParam, LPARAM lParam);
    LRESULT OnPluginLinkFailed(WPARAM wParam, LPARAM lParam);
    void DetachUser(CUserConnection *connection);
    CUserConnection *FindConnectionOf(const UserInfo *user) const;

    // Plug-in catalogue
    int FindPlugin(const char *name) const;
    int LoadPlugin(const char *name);
    void AddPlugin(CPluginRecord *record);
    void RemovePlugin(CPluginRecord *record);
    LRESULT OnPluginRegister(WPARAM wParam, LPARAM lParam);
    void Trace(const char *text);

    // Network plug-in links
    static constexpr size_t kMaxPluginLinks = 64;
    bool IsPluginLink(const CPluginRecord *record) const;
    // Out of both tables, any user still attached let go, then destroyed;
    // then, if asked, waits (bounded) for the link's reader thread to end.
    void EndPluginLink(CPluginRecord *record, bool waitForReader = true);
    LRESULT OnPluginLinkEnded(WPARAM wParam, LPARAM lParam);
    // Every user attached to the plug-in is detached (and told so).
    void DetachUsersOf(CPluginRecord *record);

    // Serial connections
    BOOL AddSerialPort(int port);
    void RemoveConnection(int id);

    // Settings and outside programs
    BOOL GetAutoCloseHotSync();
    void SetAutoCloseHotSync(BOOL on);
    BOOL GetStartWithPowerPoint();
    void SetStartWithPowerPoint(BOOL on);
    void CloseHotSync();
    void RestartHotSync();
    void RemoveHotSyncNotifiers();
    void FindPowerPoint();
    bool PowerPointWentAway();  // one reading of the watched window, once a second

    // Members, in the order of the record they stand for. All are owned by
    // the hub window's thread.
    CVelmarPCDlg *m_pMainDlg;          // owned
    CViewOnPalmDlg *m_pViewOnPalmDlg;  // owned
    CAboutDlg *m_pAboutDlg;            // not owned; set while About is on screen
    int m_nHotSyncPort;                // always 1
    BOOL m_bLogTraffic;
    BOOL m_bLogPluginThreads;
    BOOL m_bHotSyncClosed;
    UINT_PTR m_nTimer;
    HWND m_hPowerPointWnd;
    BOOL m_bPowerPointVisible;
    HICON m_hIcon;
    CTrayNotifyIcon m_trayIcon;
    std::vector<CPluginRecord *> m_plugins;         // owned records; index = plug-in index
    // Every network plug-in's record from accept on, named or not; owned
    // here (a named one is in m_plugins too) and destroyed only by EndPluginLink.
    std::vector<CPluginRecord *> m_pluginLinks;
    std::map<int, CUserConnection *> m_connections; // owned records by connection id
    ListModel m_listModel;
    BOOL m_bPairing;
    CRegistryKey *m_pSettings;           // owned
    CListenSocket *m_pUserListener;      // owned or none
    CListenSocket *m_pPluginListener;    // owned or none

protected:
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void PostNcDestroy() override { delete this; }

private:
    int OnCreate();
    LRESULT OnTimer();
    bool OnCommand(WORD id);
    void OpenHelp(WORD id);
    void ScanPlugins();
    void DestroyAllConnections();
    void DestroyAllPlugins();
};
