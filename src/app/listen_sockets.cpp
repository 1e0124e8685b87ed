// The hub window's listening sockets. Not built yet: the hub listens on no
// port, and nothing pretends otherwise.
#include "app/hub_frame.h"
#include "app/listen_socket.h"

void CHubFrame::CreateListenSockets() {}

void CHubFrame::CloseListenSockets() {
    delete m_pUserListener;
    m_pUserListener = nullptr;
    delete m_pPluginListener;
    m_pPluginListener = nullptr;
}

void CHubFrame::AcceptUser() {}
void CHubFrame::AcceptPlugin() {}
