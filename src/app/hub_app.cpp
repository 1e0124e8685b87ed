// Start-up. The single-instance test is a window lookup, not a lock: the
// second of two simultaneous starts simply fails to bind the hub's ports.
// Commands to a running hub are posted, never sent, so a hung hub cannot
// hang the program that tries to reach it.
#include "app/hub_app.h"
#include <winsock2.h>
#include <commctrl.h>
#include <cstdio>
#include "app/command_line.h"
#include "app/hub_frame.h"
#include "app/hub_messages.h"
#include "framework/message_box.h"
#include "host/registry_key.h"
#include "resource.h"

std::string CHubApp::s_strInstallArg;

namespace {
const char kSettingsPath[] = "Software\\Tarnwick\\Norvane";
}

CRegistryKey *CHubApp::OpenSettings() {
    auto *key = new CRegistryKey;
    key->Create(HKEY_CURRENT_USER, kSettingsPath);
    char path[1024];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    path[n < sizeof path ? n : sizeof path - 1] = '\0';
    key->SetString("Location", path);  // does nothing when the key did not open
    return key;
}

void CHubApp::PostToRunningHub(HWND running, const std::string &commandLine) {
    switch (nv::SecondInstanceCommandFor(commandLine)) {
    case nv::SecondInstanceCommand::kViewOnPalm: ::PostMessageA(running, WM_COMMAND, ID_VIEW_ON_PALM, 0); break;
    case nv::SecondInstanceCommand::kShowMain: ::PostMessageA(running, WM_COMMAND, ID_SHOW_MAIN, 0); break;
    case nv::SecondInstanceCommand::kNone: break;
    }
}

void CHubApp::ApplyCommandLine(CHubFrame *hub, const std::string &commandLine) {
    for (const nv::CommandAction &action : nv::ParseCommandLine(commandLine)) {
        switch (action.kind) {
        case nv::CommandAction::kInstallArg: s_strInstallArg = action.text; break;
        case nv::CommandAction::kLogTraffic: hub->m_bLogTraffic = TRUE; break;
        case nv::CommandAction::kWatchPowerPoint: hub->FindPowerPoint(); break;
        case nv::CommandAction::kOpenPort:
            if (nv::IsValidComPort(action.port)) {
                hub->AddSerialPort(action.port);
            } else {
                // A port outside 1..99 would share an id with a network user.
                char name[32];
                snprintf(name, sizeof name, "COM%d", action.port);
                fw::AppMessageBoxRes(IDS_COULDNT_OPEN, MB_OK, name);
            }
            break;
        }
    }
}

// Windows Sockets start once for the run, here; the process ends without a
// cleanup, which the system does for it.
BOOL CHubApp::InitInstance() {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(1, 1), &wsa) != 0) {
        fw::AppMessageBoxRes(IDS_WINSOCK_INIT_FAILED, MB_OK);
        return FALSE;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES};
    ::InitCommonControlsEx(&controls);
    CRegistryKey *settings = OpenSettings();

    if (HWND running = ::FindWindowA(nullptr, NV_HUB_WINDOW_TITLE)) {
        PostToRunningHub(running, CommandLine());
        delete settings;
        return FALSE;
    }

    auto *hub = new CHubFrame(settings);
    SetMainWindow(hub);
    if (!hub->Create(NV_HUB_WINDOW_TITLE, WS_OVERLAPPEDWINDOW))
        return FALSE;  // the window deleted itself; its own message was shown
    hub->ShowWindow(SW_HIDE);
    hub->UpdateWindow();
    ApplyCommandLine(hub, CommandLine());
    return TRUE;
}
