// CListenSocket: accept notifications handed to the hub window's handlers.
#include "app/listen_socket.h"
#include "app/hub_frame.h"

CListenSocket::~CListenSocket() = default;

void CListenSocket::OnAccept(int /*error*/) {
    // The error is not looked at: a failed accept is the stream's business.
    if (m_bUserServer)
        m_pOwner->AcceptUser();
    else
        m_pOwner->AcceptPlugin();
}
