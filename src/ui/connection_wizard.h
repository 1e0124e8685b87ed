// The add-connection wizard: the connection type and handheld type, then
// either the Add Port dialog or the page that pairs network handhelds.
//
// Pairing lasts exactly as long as a client page is open: the page runs a
// modal loop that keeps dispatching the hub window's messages, so handhelds
// that connect meanwhile are admitted (and remembered by RUID) while the
// operator watches them appear in the main dialog.
#pragma once
#include "framework/dialog.h"

class CConnectionWizardDlg : public fw::Dialog {
public:
    CConnectionWizardDlg();
    int m_nConnectionType = 0;  // 0 Serial, 1 Network
    int m_nHandheldType = 0;    // 0 Palm, 1 Pocket PC

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
};

// The page shown while pairing: how to point the handheld at this PC, and
// this PC's address (empty when it cannot be found).
class CAddClientDlg : public fw::Dialog {
public:
    explicit CAddClientDlg(UINT templateId) : fw::Dialog(templateId) {}

protected:
    BOOL OnInitDialog() override;
    HWND m_ipAddress = nullptr;  // IP address control 1029, display only
};

class CAddPalmClientDlg : public CAddClientDlg {
public:
    CAddPalmClientDlg();
};

class CAddPocketPCClientDlg : public CAddClientDlg {
public:
    CAddPocketPCClientDlg();
};

// The first IPv4 address of this PC's host name, in network order; false
// when the sockets library, the host name or its lookup fails.
bool GetLocalIPAddress(unsigned char address[4]);
