// The hub's icon in the notification area and the menu behind it.
//
// The menu is loaded afresh for every callback and destroyed again, so the
// icon keeps no menu state between clicks.
#pragma once
#include <windows.h>
#include <shellapi.h>

class CTrayNotifyIcon {
public:
    CTrayNotifyIcon();
    virtual ~CTrayNotifyIcon() { RemoveIcon(); }
    CTrayNotifyIcon(const CTrayNotifyIcon &) = delete;
    CTrayNotifyIcon &operator=(const CTrayNotifyIcon &) = delete;

    bool Create(HWND notifyWnd, UINT id, const char *tip, HICON icon, UINT callbackMessage, int defaultItem);
    BOOL RemoveIcon();
    // The shell restarted and lost the icon: add it again, unless it was
    // never created or was removed on purpose.
    bool OnTaskbarCreated();
    virtual LRESULT OnTrayNotification(WPARAM id, LPARAM mouseMessage);
    bool IsAdded() const { return m_bAdded; }

private:
    int m_nDefaultItem;
    NOTIFYICONDATAA m_nid;  // the 88-byte form, as older shells expect
    bool m_bAdded;
    HWND m_pNotifyWnd;      // not owned
};
