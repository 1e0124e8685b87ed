// Serial connections: a COM port becomes a user connection filed under its
// port number, and any connection (serial or network) is taken away again.
//
// A port number is a connection id, so two connections on one port would
// share an id; and not every platform refuses a second open of a COM port.
// The table itself is therefore the test for "already open", made before
// anything is opened, and a port outside 1..99 (which would collide with
// network ids) is refused the same way.
#include "app/hub_frame.h"
#include <cstdio>
#include "app/command_line.h"
#include "app/user_connection.h"
#include "framework/message_box.h"
#include "host/registry_key.h"
#include "resource.h"
#include "stream/serial_stream.h"
#include "ui/main_dialog.h"

namespace {

std::string Formatted(const char *format, int number) {
    char text[32];
    snprintf(text, sizeof text, format, number);
    return text;
}

void ReportCouldNotOpen(int port) {
    fw::AppMessageBoxRes(IDS_COULDNT_OPEN, MB_OK, Formatted("COM%d", port).c_str());
}

}  // namespace

BOOL CHubFrame::AddSerialPort(int port) {
    if (!nv::IsValidComPort(port) || m_connections.count(port)) {
        ReportCouldNotOpen(port);
        return FALSE;
    }
    if (port == m_nHotSyncPort && GetAutoCloseHotSync()) CloseHotSync();

    auto *connection = new CUserConnection(nullptr, port, port, -1);
    auto *stream = new CSerialStream(&connection->userInfo, port, m_bLogTraffic);
    if (!stream->Open()) {
        // Released before the message box, so the port is free while it shows.
        delete stream;
        delete connection;
        ReportCouldNotOpen(port);
        return FALSE;
    }
    connection->stream = stream;
    m_connections[port] = connection;
    if (m_pSettings) m_pSettings->SetDword(Formatted("PortUser%d", port).c_str(), static_cast<DWORD>(port));

    int32_t uid = m_listModel.addItem(connection);
    if (ListNode *node = m_listModel.getNode(uid)) {
        node->comPort = port;
        node->userName = connection->userInfo.userName;
        node->state = kNodeSearching;
        node->connectionText = stream->GetDescription();
    }
    if (m_pMainDlg) m_pMainDlg->UpdateRow(uid);
    return TRUE;
}

void CHubFrame::RemoveConnection(int id) {
    auto it = m_connections.find(id);
    if (it == m_connections.end()) return;  // nobody passes one; nothing to tidy
    CUserConnection *connection = it->second;
    if (id >= kFirstNetworkId) {
        // The row stays, showing that the handheld has gone; its RUID lets
        // the same handheld back into it. A serial row goes only on the
        // operator's removal.
        int32_t uid = m_listModel.findNodeIDfromUser(connection);
        if (ListNode *node = uid ? m_listModel.getNode(uid) : nullptr) {
            node->state = kNodeDisconnected;
            node->user = nullptr;
            if (m_pMainDlg) m_pMainDlg->UpdateRow(uid);
        }
    }
    // Out of the table first: destroying the stream can handle messages sent
    // meanwhile, and none of them may find this connection any more.
    m_connections.erase(it);
    delete connection;
    if (m_pSettings) {
        m_pSettings->DeleteValue(Formatted("PortUser%d", id).c_str());
        m_pSettings->DeleteValue(Formatted("NameUser%d", id).c_str());
    }
}
