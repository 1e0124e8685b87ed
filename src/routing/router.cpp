// The connect handshake. Not built yet: connect requests are acknowledged to
// the sender only by the return value, and a closed network user is removed.
#include "app/hub_frame.h"
#include "app/user_connection.h"

LRESULT CHubFrame::OnStreamConnect(WPARAM wParam, LPARAM) {
    auto *user = reinterpret_cast<UserInfo *>(wParam);
    return m_connections.count(static_cast<int>(user->id)) ? 1 : -1;
}

LRESULT CHubFrame::OnStreamClosed(WPARAM wParam, LPARAM) {
    auto *user = reinterpret_cast<UserInfo *>(wParam);
    RemoveConnection(static_cast<int>(user->id));
    return 0;
}

void CHubFrame::DetachUser(CUserConnection *) {}
