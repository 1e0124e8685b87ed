// CListenSocket: one of the hub window's two listening sockets, for handhelds
// (4343) or for network plug-ins (4242).
//
// It only forwards accept notifications to the hub window; the accept itself
// happens in the constructor of the stream that takes the connection, so the
// socket never holds a connection of its own. Created, used and destroyed on
// the hub window's thread, where its notifications arrive.
#pragma once
#include <windows.h>
#include "framework/async_socket.h"

class CHubFrame;

class CListenSocket : public fw::AsyncSocket {
public:
    CListenSocket(CHubFrame *owner, BOOL userServer) : m_pOwner(owner), m_bUserServer(userServer) {}
    ~CListenSocket() override;
    void OnAccept(int error) override;

private:
    CHubFrame *const m_pOwner;  // not owned; outlives the socket
    const BOOL m_bUserServer;   // TRUE: handhelds, FALSE: network plug-ins
};
