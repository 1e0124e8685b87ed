// The wizard's pages and the order in which pairing is switched on and off.
//
// The listening sockets are made anew on both edges of pairing, so a socket
// that the pairing page created never outlives it, and connections already
// accepted stay as they are.
#include "ui/connection_wizard.h"
#include <winsock2.h>
#include <commctrl.h>
#include "app/hub_frame.h"
#include "resource.h"
#include "ui/add_port_dialog.h"
#include "ui/main_dialog.h"

namespace {
const int kSerial = 0;
const int kPalm = 0;
}  // namespace

CConnectionWizardDlg::CConnectionWizardDlg() : fw::Dialog(IDD_CONNECTION_WIZARD) {}

BOOL CConnectionWizardDlg::OnInitDialog() {
    ::CheckRadioButton(GetSafeHwnd(), IDC_SERIAL, IDC_NETWORK, IDC_SERIAL + (m_nConnectionType ? 1 : 0));
    ::CheckRadioButton(GetSafeHwnd(), IDC_PALM, IDC_POCKETPC, IDC_PALM + (m_nHandheldType ? 1 : 0));
    return TRUE;
}

void CConnectionWizardDlg::OnOK() {
    m_nConnectionType = ::IsDlgButtonChecked(GetSafeHwnd(), IDC_NETWORK) == BST_CHECKED ? 1 : 0;
    m_nHandheldType = ::IsDlgButtonChecked(GetSafeHwnd(), IDC_POCKETPC) == BST_CHECKED ? 1 : 0;
    EndDialog(IDOK);
}

BOOL CAddClientDlg::OnInitDialog() {
    m_ipAddress = GetItem(IDC_IP_ADDRESS);
    unsigned char a[4];
    if (GetLocalIPAddress(a))
        ::SendMessageA(m_ipAddress, IPM_SETADDRESS, 0, static_cast<LPARAM>(MAKEIPADDRESS(a[0], a[1], a[2], a[3])));
    return TRUE;
}

CAddPalmClientDlg::CAddPalmClientDlg() : CAddClientDlg(IDD_ADD_PALM_CLIENT) {}
CAddPocketPCClientDlg::CAddPocketPCClientDlg() : CAddClientDlg(IDD_ADD_POCKETPC_CLIENT) {}

bool GetLocalIPAddress(unsigned char address[4]) {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(1, 1), &wsa) != 0) return false;
    bool found = false;
    char name[80];
    if (::gethostname(name, sizeof name) == 0) {
        const hostent *host = ::gethostbyname(name);
        if (host && host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list && host->h_addr_list[0]) {
            for (int i = 0; i < 4; ++i) address[i] = static_cast<unsigned char>(host->h_addr_list[0][i]);
            found = true;
        }
    }
    ::WSACleanup();
    return found;
}

// Every modal loop below may see the hub shut down (the tray's Exit): the hub
// window runs this, so the objects stay, but once its window is gone nothing
// more is done to it.
void CVelmarPCDlg::RunConnectionWizard() {
    if (m_pOpenPage) {
        // One wizard at a time: a second one would end pairing under the first.
        m_pOpenPage->SetWindowPos(HWND_TOP, SWP_SHOWWINDOW);
        return;
    }
    CConnectionWizardDlg wizard;
    if (RunPage(wizard) != IDOK || !m_pHub->GetSafeHwnd()) return;
    if (wizard.m_nConnectionType == kSerial) {
        CAddPortDlg addPort(m_pHub);
        if (RunPage(addPort) == IDOK && addPort.m_nPort > 0 && m_pHub->GetSafeHwnd())
            m_pHub->AddSerialPort(addPort.m_nPort);
        return;
    }
    m_pHub->CloseListenSockets();
    m_pHub->m_bPairing = TRUE;
    m_pHub->CreateListenSockets();
    if (wizard.m_nHandheldType == kPalm) {
        CAddPalmClientDlg page;
        RunPage(page);
    } else {
        CAddPocketPCClientDlg page;
        RunPage(page);
    }
    // A hub that shut down meanwhile keeps no listeners: its destructor closes them.
    if (m_pHub->GetSafeHwnd()) m_pHub->CloseListenSockets();
    m_pHub->m_bPairing = FALSE;
    if (m_pHub->GetSafeHwnd()) m_pHub->CreateListenSockets();
}

INT_PTR CVelmarPCDlg::RunPage(fw::Dialog &page) {
    m_pOpenPage = &page;
    INT_PTR result = page.DoModal(nullptr);
    m_pOpenPage = nullptr;
    return result;
}
