// Tray icon: add, remove, right-click menu, double-click default command.
#include "ui/tray_notify_icon.h"
#include <cstring>
#include "framework/app.h"

namespace {
// The 88-byte NOTIFYICONDATA: size, window, id, flags, message, icon, 64-char tip.
const DWORD kNotifyIconDataSize = 88;
const UINT kIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
}

CTrayNotifyIcon::CTrayNotifyIcon() : m_nDefaultItem(0), m_bAdded(false), m_pNotifyWnd(nullptr) {
    memset(&m_nid, 0, sizeof m_nid);
}

bool CTrayNotifyIcon::Create(HWND notifyWnd, UINT id, const char *tip, HICON icon, UINT callbackMessage,
                             int defaultItem) {
    m_pNotifyWnd = notifyWnd;
    memset(&m_nid, 0, sizeof m_nid);
    m_nid.cbSize = kNotifyIconDataSize;
    m_nid.hWnd = notifyWnd;
    m_nid.uID = id;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    m_nid.uFlags = kIconFlags;
    strncpy(m_nid.szTip, tip, 63);
    m_nid.szTip[63] = '\0';
    m_bAdded = ::Shell_NotifyIconA(NIM_ADD, &m_nid) != FALSE;
    m_nDefaultItem = defaultItem;
    return m_bAdded;
}

// The flags of m_nid tell whether the icon is wanted: Create sets them and
// RemoveIcon clears them, so a shell restart never brings back a removed icon.
BOOL CTrayNotifyIcon::RemoveIcon() {
    if (!m_bAdded) {
        m_nid.uFlags = 0;
        return FALSE;
    }
    m_nid.uFlags = 0;
    BOOL r = ::Shell_NotifyIconA(NIM_DELETE, &m_nid);
    m_bAdded = false;
    return r;
}

bool CTrayNotifyIcon::OnTaskbarCreated() {
    if (m_nid.uFlags != kIconFlags) return false;
    // Whatever the old shell knew is gone; a failure here is retried at the
    // next restart. A shell that kept the icon refuses to add it twice.
    m_bAdded = ::Shell_NotifyIconA(NIM_ADD, &m_nid) != FALSE || ::Shell_NotifyIconA(NIM_MODIFY, &m_nid) != FALSE;
    return m_bAdded;
}

LRESULT CTrayNotifyIcon::OnTrayNotification(WPARAM id, LPARAM mouseMessage) {
    if (id != m_nid.uID) return 0;
    HMENU menu = ::LoadMenuA(fw::ResourceInstance(), MAKEINTRESOURCEA(m_nid.uID));
    if (!menu) return 0;
    HMENU popup = ::GetSubMenu(menu, 0);
    if (!popup) {
        ::DestroyMenu(menu);
        return 0;
    }
    if (mouseMessage == WM_RBUTTONUP) {
        ::SetMenuDefaultItem(popup, m_nDefaultItem, TRUE);
        POINT pt;
        ::GetCursorPos(&pt);
        ::SetForegroundWindow(m_pNotifyWnd);
        ::TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN, pt.x, pt.y, 0, m_pNotifyWnd, nullptr);
    } else if (mouseMessage == WM_LBUTTONDBLCLK) {
        ::SetForegroundWindow(m_pNotifyWnd);
        UINT command = ::GetMenuItemID(popup, m_nDefaultItem);
        ::SendMessageA(m_pNotifyWnd, WM_COMMAND, command, 0);
    }
    ::DestroyMenu(menu);
    return 1;
}
