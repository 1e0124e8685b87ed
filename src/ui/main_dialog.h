// The main dialog: the operator's view of the connections.
//
// Modeless and hidden until a command shows it; "Hide" only hides it. The
// connection list and the wizard join it as they are built.
#pragma once
#include "framework/dialog.h"

class CHubFrame;

class CVelmarPCDlg : public fw::Dialog {
public:
    explicit CVelmarPCDlg(CHubFrame *hub);
    // Refreshes the row of a list node; called by the router and serial code.
    void UpdateRow(int uid);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND ctrl) override;
    void OnCancel() override { ShowWindow(SW_HIDE); }
    void OnOK() override {}  // Enter in the list must not close the dialog

private:
    CHubFrame *m_pHub;  // not owned
    HICON m_hIcon;
};
