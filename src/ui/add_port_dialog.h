// The Add Port dialog: the COM ports that can be opened, to pick one from.
#pragma once
#include <functional>
#include <vector>
#include "framework/dialog.h"

class CHubFrame;

class CAddPortDlg : public fw::Dialog {
public:
    explicit CAddPortDlg(CHubFrame *hub);
    int m_nPort = 0;  // the chosen port after OK; 0 after Cancel

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    CHubFrame *m_pHub;  // not owned
};

// COM1 to COM32 in ascending order: those that open, skipping every port for
// which isHeld is true without touching it. A port whose open or close does
// not finish within perPortMs counts as not opening; the hub window's thread
// goes on handling sent messages while it waits.
std::vector<int> ProbeComPorts(const std::function<bool(int)> &isHeld, DWORD perPortMs);
