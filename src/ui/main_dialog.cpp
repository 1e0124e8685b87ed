// Main dialog buttons that lead back to the hub window's own operations.
#include "ui/main_dialog.h"
#include "app/hub_frame.h"
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
    case IDC_ABOUT: m_pHub->ShowAboutBox(); return true;
    case IDC_EXIT: m_pHub->OnClose(); return true;
    default: return false;
    }
}
