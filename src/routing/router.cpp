// The connect handshake: binds a handheld user to a plug-in, and the two ways
// a user is cut loose again.
//
// The handshake runs on the hub window's thread, but it is not atomic: loading
// a plug-in can show a message box, and so can the list model and the main
// dialog, and every modal loop lets other hand-overs run nested inside it (a
// closed socket, the operator removing a row, even shutdown). So nothing that
// such a loop can destroy is held across it: the connection is looked up
// again by id and serial number, list nodes again by UID, and when the
// connection has gone the handshake simply ends, since destroying it already
// detached it from its plug-in.
#include <string>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "routing/connect_request.h"
#include "routing/plugin_record.h"
#include "stream/plugin_thread_stream.h"
#include "stream/stream.h"
#include "ui/main_dialog.h"

namespace {

const uint8_t kConnectAccepted[NV_PACKET_SHORT_HEADER] = {NV_CMD_CONNECT_ACCEPTED, 0, 0};
const uint8_t kConnectFailed[NV_PACKET_SHORT_HEADER] = {NV_CMD_CONNECT_FAILED, 0, 0};

// One handshake in progress. Hub window's thread only.
class Handshake {
public:
    Handshake(CHubFrame &hub, CUserConnection *connection, const ConnectRequest &request)
        : m_hub(hub), m_request(request), m_id(connection->id), m_serial(connection->serial),
          m_bNetwork(connection->id >= kFirstNetworkId) {}

    void Run(bool parsed);

private:
    // The connection, or null once a nested handler has destroyed it.
    CUserConnection *Connection() const;
    bool Admit(bool parsed);
    int ResolvePlugin(const std::string &name);
    void Detach(CUserConnection *connection);
    void Unattached(CUserConnection *connection);
    CStream *CreatePluginSide(CPluginRecord *record, CUserConnection *connection);
    bool Attach(CUserConnection *connection, int index);
    int32_t ListNetworkNode();
    int32_t ListSerialNode(CUserConnection *connection);

    CHubFrame &m_hub;
    const ConnectRequest &m_request;
    const int m_id;
    const unsigned m_serial;
    const bool m_bNetwork;
};

CUserConnection *Handshake::Connection() const {
    auto it = m_hub.m_connections.find(m_id);
    if (it == m_hub.m_connections.end()) return nullptr;
    CUserConnection *connection = it->second;
    return connection && connection->serial == m_serial ? connection : nullptr;
}

void Handshake::Run(bool parsed) {
    CUserConnection *connection = Connection();
    if (parsed && !m_request.userName.empty())
        connection->SetUserName(m_request.userName.data(), m_request.userName.size());
    bool admitted = Admit(parsed);
    if (!(connection = Connection())) return;
    if (!m_request.KeepsCtsFlowControl()) connection->stream->SetCtsFlowControl(FALSE);
    int index = ResolvePlugin(admitted ? m_request.pluginName : std::string());
    if (!(connection = Connection())) return;
    Detach(connection);  // after CONNECT_FAILED, before any new plug-in side exists
    connection->pluginIndex = index;
    connection->userInfo.flags = m_request.UserFlag();
    if (index < 0 || !Attach(connection, index)) {
        if ((connection = Connection())) Unattached(connection);
        return;
    }
    if ((connection = Connection())) connection->stream->WritePacket(kConnectAccepted, connection->userInfo.id);
}

// A request too short for its RUID is refused as a handheld nobody knows.
bool Handshake::Admit(bool parsed) {
    if (!parsed) return false;
    if (!m_bNetwork) return true;
    if (m_hub.m_listModel.findIndexByRUID(m_request.ruid.c_str()) != 0) return true;
    if (!m_hub.m_bPairing) return false;
    m_hub.m_listModel.addItemByRUID(m_request.ruid.c_str());
    return true;
}

// Catalogue index, or -1. An empty name is never loaded and never answered;
// a name that cannot be loaded is answered CONNECT_FAILED.
int Handshake::ResolvePlugin(const std::string &name) {
    int index = m_hub.FindPlugin(name.c_str());
    if (index >= 0 || name.empty()) return index;
    index = m_hub.LoadPlugin(name.c_str());  // may run a message box
    CUserConnection *connection = Connection();
    if (index < 0 && connection) connection->stream->WritePacket(kConnectFailed, connection->userInfo.id);
    return index;
}

void Handshake::Detach(CUserConnection *connection) { connection->stream->DetachPeer(&connection->userInfo); }

void Handshake::Unattached(CUserConnection *connection) {
    connection->pluginIndex = -1;
    if (!m_bNetwork) {
        int32_t uid = m_hub.m_listModel.findNodeIDfromPort(m_id);
        if (ListNode *node = uid ? m_hub.m_listModel.getNode(uid) : nullptr) {
            node->state = kNodeSearching;
            m_hub.m_pMainDlg->UpdateRow(uid);
        }
    }
    if ((connection = Connection())) connection->stream->SetPeer(nullptr);
}

CStream *Handshake::CreatePluginSide(CPluginRecord *record, CUserConnection *connection) {
    if (!record->IsInProcess()) {
        connection->userInfo.replyThreadId = 0;
        return record->m_pStream;
    }
    auto *side = new CPluginThreadStream(&connection->userInfo, record->m_nThreadId, m_hub.m_bLogPluginThreads);
    if (!side->GetReplyThreadId()) {  // no thread to take the plug-in's answers: not attached
        delete side;
        return nullptr;
    }
    side->Open();
    connection->userInfo.replyThreadId = side->GetReplyThreadId();
    return side;
}

// False when the catalogue entry cannot take the user after all (a network
// plug-in whose link is already gone).
bool Handshake::Attach(CUserConnection *connection, int index) {
    if (index >= static_cast<int>(m_hub.m_plugins.size()) || !m_hub.m_plugins[static_cast<size_t>(index)])
        return false;
    CStream *side = CreatePluginSide(m_hub.m_plugins[static_cast<size_t>(index)], connection);
    if (!side) return false;
    connection->stream->SetPeer(side);
    side->AddUser(&connection->userInfo, connection->stream);

    int32_t uid = m_bNetwork ? ListNetworkNode() : ListSerialNode(connection);
    if (!(connection = Connection())) return true;  // its destruction detached it
    if (ListNode *node = uid ? m_hub.m_listModel.getNode(uid) : nullptr) {
        node->userName = m_request.userName;
        node->state = kNodeConnected;
        node->connectionText = connection->stream->GetDescription();
        m_hub.m_pMainDlg->UpdateRow(uid);
    }
    return true;
}

int32_t Handshake::ListNetworkNode() {
    ListModel &model = m_hub.m_listModel;
    int32_t uid = model.findIndexByRUID(m_request.ruid.c_str());  // may run a message box
    CUserConnection *connection = Connection();
    if (!connection) return 0;
    if (uid == 0) uid = model.addItem(connection);
    if (ListNode *node = model.getNode(uid)) {
        node->comPort = 0;
        node->ruid = m_request.ruid;
        node->user = connection;
    }
    return uid;
}

int32_t Handshake::ListSerialNode(CUserConnection *connection) {
    ListModel &model = m_hub.m_listModel;
    int32_t uid = model.findNodeIDfromPort(m_id);
    if (uid == 0) uid = model.addItem(connection);
    if (ListNode *node = model.getNode(uid)) node->comPort = m_id;
    return uid;
}

}  // namespace

// A hand-over can be handled after its connection was destroyed (the sender
// was already queued in SendMessage), so its UserInfo may be freed memory:
// it is compared with the live connections' addresses, never read, until
// one of them owns it.
CUserConnection *CHubFrame::FindConnectionOf(const UserInfo *user) const {
    for (const auto &entry : m_connections)
        if (entry.second && &entry.second->userInfo == user) return entry.second;
    return nullptr;
}

LRESULT CHubFrame::OnStreamConnect(WPARAM wParam, LPARAM lParam) {
    CUserConnection *connection = FindConnectionOf(reinterpret_cast<const UserInfo *>(wParam));
    if (!connection || !connection->stream) return -1;
    // The packet belongs to the sender and its header was framed whole, so
    // its size can be taken from the header.
    auto *packet = reinterpret_cast<const uint8_t *>(lParam);
    ConnectRequest request;
    bool parsed = packet && ParseConnectPacket(packet, PacketSize(packet), &request);
    Handshake(*this, connection, request).Run(parsed);
    return 1;
}

LRESULT CHubFrame::OnStreamClosed(WPARAM wParam, LPARAM) {
    // Only the connection that owns this UserInfo: a stale report must not
    // remove a newer connection filed under the same id.
    if (CUserConnection *connection = FindConnectionOf(reinterpret_cast<const UserInfo *>(wParam)))
        RemoveConnection(connection->id);
    return 0;
}

// Posted by a plug-in side stream whose post to its plug-in failed. The
// stream is only compared with the user's current peer, never used, since the
// user may have been detached (and the stream destroyed) meanwhile.
LRESULT CHubFrame::OnPluginLinkFailed(WPARAM wParam, LPARAM lParam) {
    CUserConnection *connection = FindConnectionOf(reinterpret_cast<const UserInfo *>(wParam));
    if (!connection || !connection->stream) return 0;
    if (connection->stream->GetPeer() != reinterpret_cast<CStream *>(lParam)) return 0;
    DetachUser(connection);
    connection->pluginIndex = -1;
    return 0;
}

void CHubFrame::DetachUser(CUserConnection *connection) {
    if (connection && connection->stream) connection->stream->DetachPeer(&connection->userInfo);
}
