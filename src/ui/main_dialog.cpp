// Main dialog buttons that lead back to the hub window's own operations.
#include "ui/main_dialog.h"
#include "app/hub_frame.h"
#include "app/hub_messages.h"
#include "framework/app.h"
#include "resource.h"

CVelmarPCDlg::CVelmarPCDlg(CHubFrame *hub)
    : fw::Dialog(IDD_MAIN), m_pHub(hub),
      m_hIcon(::LoadIconA(fw::ResourceInstance(), MAKEINTRESOURCEA(IDI_DIALOG))) {}

BOOL CVelmarPCDlg::OnInitDialog() {
    ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    return TRUE;
}

void CVelmarPCDlg::UpdateRow(int) {
    // The connection list view is not built yet; the list model holds the rows.
}

bool CVelmarPCDlg::OnCommand(WORD id, WORD, HWND) {
    switch (id) {
    // Posted rather than called: both may end with this dialog destroyed,
    // which must not happen while its own procedure is still running.
    case IDC_ABOUT: ::PostMessageA(m_pHub->GetSafeHwnd(), WM_COMMAND, ID_APP_ABOUT, 0); return true;
    case IDC_EXIT: ::PostMessageA(m_pHub->GetSafeHwnd(), WM_CLOSE, 0, 0); return true;
    default: return false;
    }
}
