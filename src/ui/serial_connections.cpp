// Serial connections. The serial transport is not built yet, so every port
// fails to open exactly as a port without a device would.
#include "app/hub_frame.h"
#include <cstdio>
#include "app/user_connection.h"
#include "framework/message_box.h"
#include "host/registry_key.h"
#include "resource.h"

BOOL CHubFrame::AddSerialPort(int port) {
    char name[32];
    snprintf(name, sizeof name, "COM%d", port);
    fw::AppMessageBoxRes(IDS_COULDNT_OPEN, MB_OK, name);
    return FALSE;
}

void CHubFrame::RemoveConnection(int id) {
    auto it = m_connections.find(id);
    if (it == m_connections.end()) return;
    CUserConnection *connection = it->second;
    m_connections.erase(it);
    delete connection;
}
