// The hub window's listening sockets and what it does with an accepted
// connection.
//
// Connection ids are how the rest of the hub finds a user (the closed and
// connect hand-overs carry nothing else), so a new connection never takes an
// id that a live one holds. Network ids stay within 100..254: the network
// plug-in link carries the id in one byte, where 0 means every user and 255
// none. When all are taken the handheld is accepted and let go at once; so
// is a plug-in beyond the bound on plug-in links.
#include <winsock2.h>
#include <cstdio>
#include <memory>
#include "app/hub_frame.h"
#include "app/listen_socket.h"
#include "app/user_connection.h"
#include "framework/message_box.h"
#include "framework/trace.h"
#include "routing/plugin_record.h"
#include "stream/plugin_socket_stream.h"

namespace {

const UINT kUserPort = 4343;
const UINT kPluginPort = 4242;
const int kBacklog = 5;

struct ListenerTexts {
    const char *createFailed;
    const char *listenFailed;
};
const ListenerTexts kUserTexts = {
    "Can't create Velmar PDA Server Socket.\nNetwork Connections will be disabled.\nError: %d",
    "Can't listen at Velmar PDA Server Socket.\nNetwork Connections will be disabled.\nError: %d"};
const ListenerTexts kPluginTexts = {
    "Can't create Velmar Plugin Server Socket.\nNetwork Plugin Connections will be disabled.\nError: %d",
    "Can't listen at Velmar Plugin Server Socket.\nNetwork Plugin Connections will be disabled.\nError: %d"};

void ShowSocketFailure(const char *format, int error) {
    char text[256];
    snprintf(text, sizeof text, format, error);
    fw::AppMessageBox(text, MB_OK);
}

// A listening socket on `port`, or none after telling the operator why not.
CListenSocket *OpenListener(CHubFrame *owner, BOOL userServer, UINT port, const ListenerTexts &texts) {
    auto listener = std::make_unique<CListenSocket>(owner, userServer);
    if (!listener->Create(port)) {
        ShowSocketFailure(texts.createFailed, ::WSAGetLastError());
        return nullptr;
    }
    if (!listener->Listen(kBacklog)) {
        int error = ::WSAGetLastError();
        listener->Close();
        ShowSocketFailure(texts.listenFailed, error);
        return nullptr;
    }
    return listener.release();
}

// The lowest network id that no connection in the table holds, or -1.
int FreeNetworkId(const std::map<int, CUserConnection *> &connections) {
    for (int id = kFirstNetworkId; id <= kLastNetworkId; ++id)
        if (!connections.count(id)) return id;
    return -1;
}

}  // namespace

void CHubFrame::CreateListenSockets() {
    CloseListenSockets();  // never two of a kind on one port
    m_pUserListener = OpenListener(this, TRUE, kUserPort, kUserTexts);
    if (!m_pUserListener) return;  // without handhelds over TCP, no network plug-ins either
    m_pPluginListener = OpenListener(this, FALSE, kPluginPort, kPluginTexts);
}

void CHubFrame::CloseListenSockets() {
    delete m_pUserListener;
    m_pUserListener = nullptr;
    delete m_pPluginListener;
    m_pPluginListener = nullptr;
}

void CHubFrame::AcceptUser() {
    if (!m_pUserListener) return;
    int id = FreeNetworkId(m_connections);
    if (id < 0) {
        fw::Socket refused(m_pUserListener->Accept());  // closed at once
        return;
    }
    auto connection = std::make_unique<CUserConnection>(nullptr, id, id, -1);
    auto *stream = new CSocketStream(m_pUserListener, &connection->userInfo, m_bLogTraffic);
    connection->stream = stream;
    // A link that no thread reads would hold its id for ever: closed at once.
    if (!stream->HasReader()) {
        fw::Trace("network handheld %d refused: its reader thread could not start", id);
        return;
    }
    stream->Open();
    m_connections[id] = connection.release();
}

void CHubFrame::AcceptPlugin() {
    if (!m_pPluginListener) return;
    // The port listens on every interface; a bound on the links keeps a
    // flood of connections from taking the hub's threads and memory.
    if (m_pluginLinks.size() >= kMaxPluginLinks) {
        fw::Socket refused(m_pPluginListener->Accept());  // closed at once
        return;
    }
    // The record owns the stream and the hub the record from here on, so
    // shutdown ends even a link that never named itself.
    auto *record = new CPluginRecord;
    auto *stream = new CPluginSocketStream(m_pPluginListener, record, m_bLogTraffic,
                                           [record](const std::string &name) { record->AnnounceName(name); });
    record->m_pStream = stream;
    if (!stream->HasReader()) {
        fw::Trace("network plug-in refused: its reader thread could not start");
        delete record;  // closes the link
        return;
    }
    m_pluginLinks.push_back(record);
    stream->Open();
    record->m_strLocation = stream->GetDescription();
}
