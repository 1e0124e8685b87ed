// The main dialog's list of connections, its check boxes and its buttons.
#include "ui/main_dialog.h"
#include <windows.h>
#include <commctrl.h>
#include "app/hub_frame.h"
#include "app/hub_messages.h"
#include "app/user_connection.h"
#include "framework/app.h"
#include "framework/message_box.h"
#include "resource.h"

namespace {

struct Column {
    const char *header;
    int width;
};
const Column kColumns[] = {{"User Name", 159}, {"Connection", 150}, {"Status", 100}};

void Complain(const char *text) { fw::AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION); }

}  // namespace

CVelmarPCDlg::CVelmarPCDlg(CHubFrame *hub)
    : fw::Dialog(IDD_MAIN), m_pHub(hub),
      m_hIcon(::LoadIconA(fw::ResourceInstance(), MAKEINTRESOURCEA(IDI_DIALOG))) {}

BOOL CVelmarPCDlg::OnInitDialog() {
    ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    InsertColumns();
    ::CheckDlgButton(GetSafeHwnd(), IDC_START_WITH_PPT, m_pHub->GetStartWithPowerPoint() ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(GetSafeHwnd(), IDC_DISABLE_HOTSYNC, m_pHub->GetAutoCloseHotSync() ? BST_CHECKED : BST_UNCHECKED);
    return TRUE;
}

HWND CVelmarPCDlg::List() const { return GetItem(IDC_CONNECTION_LIST); }

void CVelmarPCDlg::InsertColumns() {
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<char *>(kColumns[i].header);
        column.cx = kColumns[i].width;
        ::SendMessageA(List(), LVM_INSERTCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
}

bool CVelmarPCDlg::UpdatePortInfoFromUID(int uid) {
    if (uid == 0) {
        Complain("CVelmarPCDlg::UpdatePortInfoFromUID invalid node UID parameter passed in.");
        return false;
    }
    ListNode *node = m_pHub->m_listModel.getNode(uid);
    if (!node) {
        Complain("CVelmarPCDlg::UpdatePortInfoFromUID invalid node UID, ListNode * came back NULL");
        return false;
    }
    if (node->user) {
        const char *name = node->user->userInfo.userName;
        node->userName = name ? name : "";
    } else {
        node->connectionText = "Network User";
        node->state = kNodeDisconnected;
    }
    // Copied out: the message box below runs a modal loop that may change the model.
    std::string texts[3] = {node->userName, node->connectionText, StateText(node->state)};
    int row = FindRowFromUID(uid);
    if (row == -1) row = InsertRowForUID(uid);
    if (row == -1) {
        Complain("CVelmarPCDlg::UpdatePortInfoFromUID Unable to get a valid display index.");
        return false;
    }
    // Column 0 first: in a sorted list, its text may move the row, so the
    // row is looked up again before the other columns.
    SetRowText(row, 0, texts[0]);
    row = FindRowFromUID(uid);
    SetRowText(row, 1, texts[1]);
    SetRowText(row, 2, texts[2]);
    return true;
}

int CVelmarPCDlg::FindRowFromUID(int uid) const {
    int count = static_cast<int>(::SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (::SendMessageA(List(), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)) && item.lParam == uid)
            return row;
    }
    return -1;
}

int CVelmarPCDlg::InsertRowForUID(int uid) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(::SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0));
    item.pszText = const_cast<char *>("");
    item.lParam = uid;
    return static_cast<int>(::SendMessageA(List(), LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void CVelmarPCDlg::SetRowText(int row, int column, const std::string &text) {
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char *>(text.c_str());
    ::SendMessageA(List(), LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void CVelmarPCDlg::DeleteRowOfUID(int uid) {
    int row = FindRowFromUID(uid);
    if (row != -1) ::SendMessageA(List(), LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
}

bool CVelmarPCDlg::OnCommand(WORD id, WORD code, HWND) {
    HWND hub = m_pHub->GetSafeHwnd();
    switch (id) {
    case IDC_ADD_CONNECTION: ::PostMessageA(hub, WM_COMMAND, ID_ADD_CONNECTION, 0); return true;
    case IDC_REMOVE_CONNECTION: ::PostMessageA(hub, WM_COMMAND, ID_REMOVE_CONNECTION, 0); return true;
    case IDC_ABOUT: ::PostMessageA(hub, WM_COMMAND, ID_APP_ABOUT, 0); return true;
    case IDC_EXIT: ::PostMessageA(hub, WM_CLOSE, 0, 0); return true;
    case IDC_START_WITH_PPT:
        if (code == BN_CLICKED) m_pHub->SetStartWithPowerPoint(IsChecked(IDC_START_WITH_PPT));
        return true;
    case IDC_DISABLE_HOTSYNC:
        if (code == BN_CLICKED) m_pHub->SetAutoCloseHotSync(IsChecked(IDC_DISABLE_HOTSYNC));
        return true;
    default: return false;
    }
}

INT_PTR CVelmarPCDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM) {
    // Minimized, the dialog would leave a stray window behind; it hides like Hide.
    if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_MINIMIZE) {
        ShowWindow(SW_HIDE);
        return TRUE;
    }
    return FALSE;
}
