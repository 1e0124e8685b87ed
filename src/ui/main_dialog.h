// The main dialog: the operator's view of the connections.
//
// Modeless and hidden until a command shows it; every way of closing it
// (Hide, Escape, Enter, the close box, minimize) only hides it, and only Exit
// ends the program. The list view holds nothing but texts: each row's item
// data is the UID of the list node it shows, and a row is found by that UID
// every time, because the list view's sorting moves rows around.
//
// The buttons that open modal windows (Add Connection, Remove Connection,
// About) and Exit are posted to the hub window and run there: each may end
// with this dialog destroyed (the hub can shut down inside any modal loop),
// which must not happen under its own procedure.
#pragma once
#include "framework/dialog.h"

class CHubFrame;

class CVelmarPCDlg : public fw::Dialog {
public:
    explicit CVelmarPCDlg(CHubFrame *hub);

    // Shows one list node in its row, adding the row on first use. False
    // (after telling the operator) when the UID names no node or no row can
    // be made.
    bool UpdatePortInfoFromUID(int uid);
    int FindRowFromUID(int uid) const;
    int InsertRowForUID(int uid);
    // The name the router and the serial code have always used.
    void UpdateRow(int uid) { UpdatePortInfoFromUID(uid); }

    // Run by the hub window on the buttons' behalf; both may run modal loops.
    void RunConnectionWizard();
    void OnRemoveConnection();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND ctrl) override;
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnCancel() override { ShowWindow(SW_HIDE); }
    void OnOK() override { ShowWindow(SW_HIDE); }

private:
    HWND List() const;
    void InsertColumns();
    void SetRowText(int row, int column, const std::string &text);
    void DeleteRowOfUID(int uid);
    INT_PTR RunPage(fw::Dialog &page);  // modal, remembered in m_pOpenPage meanwhile
    bool IsChecked(int id) const { return ::IsDlgButtonChecked(GetSafeHwnd(), id) == BST_CHECKED; }

    CHubFrame *m_pHub;  // not owned
    HICON m_hIcon;      // icon 145; shared resource, never destroyed
    fw::Dialog *m_pOpenPage = nullptr;  // the wizard's page on screen, if any; not owned
};
