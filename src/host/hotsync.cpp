// The hand-off with HotSync Manager, which holds the cradle's COM port.
//
// The hub closes HotSync Manager's window so the port is free, starts the
// program again from the path HotSync Manager records for itself when the hub
// ends, and clears notifier entries that earlier installations of ours left
// in HotSync Manager's list. HotSync Manager is another process: the hub only
// asks it to close and never waits on it without a bound, since everything
// here runs on the hub window's thread while no packet is routed.
#include "app/hub_frame.h"
#include <shellapi.h>
#include <cstring>
#include "host/registry_key.h"

namespace {

const char kHotSyncWindowClass[] = "KittyHawk";
const char kCoreKey[] = "Software\\U.S. Robotics\\Pilot Desktop\\Core";
const char kManagerKey[] = "Software\\U.S. Robotics\\Pilot Desktop\\HotSync Manager";
const char kHotSyncPath[] = "HotSyncPath";
const char kDontAskExit[] = "DontAskExit";
const char kNotifierPrefix[] = "Notifier";
const char kOurNotifier[] = "DAZOVOzoduv";
const DWORD kNotifierNameSize = 100;

const int kCloseTries = 10;
const DWORD kClosePauseMs = 500;
// HotSync Manager may hang in its close handler (a sync in progress, a
// dialog of its own). Each request is bounded, and one that runs out counts
// as a try, so the hub is held for a bounded time whatever the window does.
const UINT kCloseSendTimeoutMs = 2000;

// What "DontAskExit" held before the hub set it; nothing when it was missing
// or not a REG_DWORD, in which case it is deleted again afterwards.
struct SavedDword {
    bool present = false;
    DWORD value = 0;
};

SavedDword SetDontAskExit(CRegistryKey &key) {
    SavedDword saved;
    if (!key.IsOpen()) return saved;
    saved.value = key.GetDword(kDontAskExit);
    saved.present = key.Status() == CRegistryKey::kSuccess;
    key.SetDword(kDontAskExit, 1);  // so HotSync Manager closes without asking
    return saved;
}

void RestoreDontAskExit(CRegistryKey &key, const SavedDword &saved) {
    if (!key.IsOpen()) return;
    if (saved.present)
        key.SetDword(kDontAskExit, saved.value);
    else
        key.DeleteValue(kDontAskExit);
}

void AskWindowToClose(HWND window) {
    for (int attempt = 0; attempt < kCloseTries && ::IsWindow(window); ++attempt) {
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, kCloseSendTimeoutMs,
                              &ignored);
        ::Sleep(kClosePauseMs);
    }
}

bool IsOurNotifier(CRegistryKey &key, const char *name) {
    if (strncmp(name, kNotifierPrefix, sizeof kNotifierPrefix - 1) != 0) return false;
    char *data = key.GetString(name);
    bool ours = data && strstr(data, kOurNotifier) != nullptr;
    delete[] data;
    return ours;
}

}  // namespace

void CHubFrame::CloseHotSync() {
    HWND window = ::FindWindowA(kHotSyncWindowClass, nullptr);
    if (!window) return;
    CRegistryKey key;
    key.Create(HKEY_CURRENT_USER, kManagerKey);
    SavedDword saved = SetDontAskExit(key);
    AskWindowToClose(window);
    RestoreDontAskExit(key, saved);
    // Also when the window survived: the operator asked for HotSync Manager
    // to be back after the hub, and it is running anyway.
    m_bHotSyncClosed = TRUE;
    key.Close();
}

void CHubFrame::RestartHotSync() {
    CRegistryKey key;
    key.Create(HKEY_CURRENT_USER, kCoreKey);
    if (key.IsOpen()) {
        char *path = key.GetString(kHotSyncPath);
        if (key.Status() == CRegistryKey::kSuccess)
            ::ShellExecuteA(nullptr, "open", path, "", "", SW_SHOW);  // nothing to do on failure
        delete[] path;
    }
    key.Close();
}

void CHubFrame::RemoveHotSyncNotifiers() {
    CRegistryKey key;
    key.Create(HKEY_CURRENT_USER, kManagerKey);
    if (!key.IsOpen()) return;
    // Downwards, so that deleting a value does not move one still to be visited.
    for (DWORD index = key.GetValueCount(); index-- > 0;) {
        char name[kNotifierNameSize];
        if (key.EnumValueName(index, name, sizeof name) != ERROR_SUCCESS) continue;
        if (IsOurNotifier(key, name)) key.DeleteValue(name);
    }
    key.Close();
}
