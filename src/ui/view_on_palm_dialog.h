// The View-on-Palm invitation, shown top-most when a second start asks for it.
#pragma once
#include "framework/dialog.h"

class CHubFrame;

class CViewOnPalmDlg : public fw::Dialog {
public:
    explicit CViewOnPalmDlg(CHubFrame *hub);

protected:
    bool OnCommand(WORD id, WORD code, HWND ctrl) override;
    void OnOK() override { ShowWindow(SW_HIDE); }
    void OnCancel() override { ShowWindow(SW_HIDE); }

private:
    CHubFrame *m_pHub;  // not owned
};
