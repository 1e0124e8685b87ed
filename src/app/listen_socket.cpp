// CListenSocket: accept notifications handed to the hub window's handlers.
#include "app/listen_socket.h"
#include "app/hub_frame.h"

CListenSocket::~CListenSocket() = default;

void CListenSocket::OnAccept(int /*error*/) {
    // The error is not looked at: a failed accept is the stream's business.
    // Every connection waiting now is taken now: a notification may stand
    // for several, and one left behind would wait for the next handheld.
    // A notification whose connection an earlier round took finds none and
    // files nothing.
    const int kMostPerNotification = 64;
    for (int taken = 0; taken < kMostPerNotification && HasPendingConnection(); ++taken) {
        if (m_bUserServer)
            m_pOwner->AcceptUser();
        else
            m_pOwner->AcceptPlugin();
    }
}
