// "Settings..." leads to the main dialog through the hub window.
#include "ui/view_on_palm_dialog.h"
#include "app/hub_frame.h"
#include "resource.h"

CViewOnPalmDlg::CViewOnPalmDlg(CHubFrame *hub) : fw::Dialog(IDD_VIEW_ON_PALM), m_pHub(hub) {}

bool CViewOnPalmDlg::OnCommand(WORD id, WORD, HWND) {
    if (id != IDC_SETTINGS) return false;
    ShowWindow(SW_HIDE);
    m_pHub->ShowMainDialog();
    return true;
}
