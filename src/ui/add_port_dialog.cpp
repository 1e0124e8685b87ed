// The Add Port dialog and its probe of the COM ports.
//
// The probe runs on the hub window's thread, which must not freeze: a driver
// whose open or close hangs would stop every hand-over of every connection.
// So each port is tried on a short-lived thread of its own and waited for a
// bounded time, handling sent messages meanwhile; a thread that does not
// finish is left to end by itself and owns what it shares with the probe.
//
// Ports this hub already holds are never opened: not every platform refuses
// a second open, and reconfiguring a live port would cut off its handheld.
// The probe only opens and reads the line settings; it neither changes them
// nor writes to a device that may belong to another program.
#include "ui/add_port_dialog.h"
#include <cstdio>
#include "app/hub_frame.h"
#include "framework/handles.h"
#include "framework/message_box.h"
#include "resource.h"

namespace {

const int kFirstPort = 1;
const int kLastPort = 32;
const DWORD kPerPortMs = 1500;

// Shared by the probe and one port's thread; whichever lets go last frees it.
struct PortTrial {
    explicit PortTrial(int n) : port(n), done(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void Release() {
        if (::InterlockedDecrement(&refs) == 0) delete this;
    }
    LONG refs = 2;
    const int port;
    bool opened = false;  // written by the thread before it sets done
    fw::Handle done;
};

DWORD WINAPI TryPort(void *arg) {
    auto *trial = static_cast<PortTrial *>(arg);
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\COM%d", trial->port);
    {
        fw::FileHandle port(::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OVERLAPPED, nullptr));
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        // A COM port, not some other file; closed before done is set.
        trial->opened = port && ::GetCommState(port.Get(), &dcb) != FALSE;
    }
    ::SetEvent(trial->done.Get());
    trial->Release();
    return 0;
}

// True when the event is set within the time; sent messages are handled meanwhile.
bool WaitHandlingSentMessages(HANDLE event, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD r = ::MsgWaitForMultipleObjects(1, &event, FALSE, timeoutMs - elapsed, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }
}

bool PortOpens(int port, DWORD timeoutMs) {
    auto *trial = new PortTrial(port);
    if (!trial->done) {
        delete trial;
        return false;
    }
    DWORD id = 0;
    fw::Handle thread(::CreateThread(nullptr, 0, TryPort, trial, 0, &id));
    if (!thread) {
        delete trial;
        return false;
    }
    bool finished = WaitHandlingSentMessages(trial->done.Get(), timeoutMs);
    bool opened = finished && trial->opened;
    trial->Release();
    return opened;
}

}  // namespace

std::vector<int> ProbeComPorts(const std::function<bool(int)> &isHeld, DWORD perPortMs) {
    std::vector<int> ports;
    for (int n = kFirstPort; n <= kLastPort; ++n)
        if (!isHeld(n) && PortOpens(n, perPortMs)) ports.push_back(n);
    return ports;
}

CAddPortDlg::CAddPortDlg(CHubFrame *hub) : fw::Dialog(IDD_ADD_PORT), m_pHub(hub) {}

BOOL CAddPortDlg::OnInitDialog() {
    CHubFrame *hub = m_pHub;
    auto held = [hub](int port) { return hub->m_connections.count(port) != 0; };
    HWND list = GetItem(IDC_PORT_LIST);
    for (int port : ProbeComPorts(held, kPerPortMs)) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", port);
        LRESULT at = ::SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        if (at >= 0) ::SendMessageA(list, CB_SETITEMDATA, static_cast<WPARAM>(at), port);
    }
    if (::SendMessageA(list, CB_GETCOUNT, 0, 0) > 0) ::SendMessageA(list, CB_SETCURSEL, 0, 0);
    return TRUE;
}

void CAddPortDlg::OnOK() {
    HWND list = GetItem(IDC_PORT_LIST);
    LRESULT selected = ::SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) {
        fw::AppMessageBoxRes(IDS_SELECT_VALID_COM, MB_OK);
        return;
    }
    m_nPort = static_cast<int>(::SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
    EndDialog(IDOK);
}

void CAddPortDlg::OnCancel() {
    m_nPort = 0;
    EndDialog(IDCANCEL);
}
