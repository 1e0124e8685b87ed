// The text is one string resource so that translators touch no code.
#include "ui/about_dialog.h"
#include "framework/app.h"
#include "resource.h"

CAboutDlg::CAboutDlg() : fw::Dialog(IDD_ABOUTBOX) {}

BOOL CAboutDlg::OnInitDialog() {
    SetItemText(IDC_ABOUT_TEXT, fw::LoadResString(IDS_ABOUT_TEXT));
    return TRUE;
}
