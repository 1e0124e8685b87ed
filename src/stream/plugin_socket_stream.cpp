// CPluginSocketStream: link format, user table, routing, naming, and the end
// of a plug-in. The socket, the reader thread and the write deadline are
// CSocketStream's; this file only adds what the multiplexed link needs.
#include "stream/plugin_socket_stream.h"

#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <vector>
#include "stream/global_packet.h"
#include "stream/stream_messages.h"

namespace {

uint8_t LinkId(uint32_t connectionId) { return static_cast<uint8_t>(connectionId & 0xFF); }

const uint8_t kEveryUser = 0;

// Leaves a critical section that was entered some other way.
class Entered {
public:
    explicit Entered(fw::CriticalSection &cs) : m_cs(cs) {}
    ~Entered() { m_cs.Leave(); }
    Entered(const Entered &) = delete;
    Entered &operator=(const Entered &) = delete;

private:
    fw::CriticalSection &m_cs;
};

}  // namespace

CPluginSocketStream::CPluginSocketStream(fw::AsyncSocket *listener, CPluginRecord *record, BOOL logging,
                                         NameSink nameSink)
    : CSocketStream(listener, nullptr, logging), m_pRecord(record), m_nameSink(std::move(nameSink)) {}

CPluginSocketStream::~CPluginSocketStream() {
    // The reader calls this class's operations: it must be out before the
    // user table goes. The user streams themselves are not touched.
    StopReader();
}

size_t CPluginSocketStream::UserCount() const {
    fw::Lock lock(m_csUsers);
    return m_mapUsers.size();
}

// Whole, between the packets of other writers; bounded from the hub window's
// thread like every write.
void CPluginSocketStream::WriteControl(const uint8_t *bytes, size_t size) {
    EnterWrite();
    WriteBytes(bytes, static_cast<int>(size));
    LeaveWrite();
}

void CPluginSocketStream::EnterUsers() {
    if (!OnHubThread()) {
        m_csUsers.Enter();
        return;
    }
    std::vector<CStream *> interrupted;
    while (!m_csUsers.EnterWithin(kHubGraceMs)) {
        CStream *target = m_pRouteTarget.load();
        if (target && std::find(interrupted.begin(), interrupted.end(), target) == interrupted.end()) {
            target->InterruptWrites();
            interrupted.push_back(target);
        }
    }
    for (CStream *target : interrupted) target->ResumeWrites();
}

void CPluginSocketStream::AddUser(UserInfo *pUserInfo, CStream *pUserStream) {
    if (!pUserInfo || !pUserStream) return;
    {
        EnterUsers();
        Entered held(m_csUsers);
        if (m_bLost) {
            // The plug-in has gone and its record is on its way out: the
            // user must not keep a peer that is about to be destroyed.
            if (pUserStream->GetPeer() == this) pUserStream->SetPeer(nullptr);
            return;
        }
        m_mapUsers[pUserInfo->id] = pUserStream;
    }
    const char *name = pUserInfo->userName ? pUserInfo->userName : "";
    size_t length = strlen(name);
    if (length > kMaxAnnouncedName) length = kMaxAnnouncedName;  // never a wrapped length
    std::string wire;
    wire.reserve(NV_PACKET_SHORT_HEADER + 1 + length);
    wire += static_cast<char>(NV_CMD_USER_ADDED);
    wire += static_cast<char>(length & 0xFF);
    wire += static_cast<char>((length >> 8) & 0xFF);
    wire += static_cast<char>(LinkId(pUserInfo->id));
    wire.append(name, length);
    WriteControl(reinterpret_cast<const uint8_t *>(wire.data()), wire.size());
}

void CPluginSocketStream::RemoveUser(UserInfo *pUserInfo) {
    if (!pUserInfo) return;
    const uint8_t removed[] = {NV_CMD_USER_REMOVED, 0, 0, LinkId(pUserInfo->id)};
    WriteControl(removed, sizeof removed);
    EnterUsers();  // a write into this user's stream is over once it returns
    Entered held(m_csUsers);
    m_mapUsers.erase(pUserInfo->id);
}

uint8_t *CPluginSocketStream::ReadPacket(uint32_t *connectionId) {
    FramingRules rules;
    rules.foreignSignature = false;  // this link has no such test
    rules.idByte = true;
    uint8_t id = static_cast<uint8_t>(kNoConnectionId);
    if (uint8_t *packet = FramePacket(rules, &id)) {
        *connectionId = id;
        LogPacket(packet, LogDirection::Read);
        return packet;
    }
    // A link whose bytes the hub's packet budget cannot take ends as well.
    if (m_bClosed || IsOverBudget()) PluginLost();  // the stream may be gone afterwards
    return nullptr;
}

// One copy, to put the id byte between header and payload, and one write.
int CPluginSocketStream::WritePacket(const uint8_t *packet, uint32_t connectionId) {
    size_t size = PacketSize(packet);
    size_t header = PacketHeaderSize(packet);
    auto *wire = static_cast<uint8_t *>(malloc(size + 1));
    if (!wire) return 0;  // the packet is lost, the link goes on
    memcpy(wire, packet, header);
    wire[header] = LinkId(connectionId);
    memcpy(wire + header + 1, packet + header, size - header);
    int written = WriteLoggedPacket(packet, wire, size + 1);
    free(wire);
    return written;
}

void CPluginSocketStream::ForwardPacket(const uint8_t *packet, uint32_t connectionId) {
    if (PacketCommand(packet) == NV_CMD_PLUGIN_NAME) {
        const char *payload = reinterpret_cast<const char *>(PacketPayload(packet));
        std::string name(payload, strnlen(payload, PacketPayloadLength(packet)));
        // An empty name would answer every connect request that names no
        // plug-in, admitted or not; it is not taken.
        if (!name.empty() && !Register(name)) return;
    }
    Route(packet, LinkId(connectionId));
}

void CPluginSocketStream::Route(const uint8_t *packet, uint8_t id) {
    if (id == kNoConnectionId) return;
    fw::Lock lock(m_csUsers);
    auto write = [&](const std::pair<const uint32_t, CStream *> &user) {
        m_pRouteTarget.store(user.second);
        user.second->WritePacket(packet, user.first);
        m_pRouteTarget.store(nullptr);
    };
    if (id == kEveryUser) {
        for (const auto &user : m_mapUsers) write(user);
        return;
    }
    auto it = m_mapUsers.find(id);
    if (it != m_mapUsers.end()) write(*it);
}

bool CPluginSocketStream::Register(const std::string &name) {
    if (m_nameSink) m_nameSink(name);
    return SendToHub(WM_PLUGIN_REGISTER, reinterpret_cast<WPARAM>(m_pRecord), 1);
}

// Reader thread. The users stay connected to the hub, unattached; their
// packets go nowhere until they ask for a plug-in again.
void CPluginSocketStream::PluginLost() {
    {
        fw::Lock lock(m_csUsers);
        m_bLost = true;
        for (const auto &user : m_mapUsers)
            if (user.second->GetPeer() == this) user.second->SetPeer(nullptr);
    }
    WPARAM record = reinterpret_cast<WPARAM>(m_pRecord);
    if (!SendToHub(WM_PLUGIN_REGISTER, record, 0)) return;
    // The hub window destroys the record, and this stream with it; no
    // closed notice follows, and nothing of the stream is touched again.
    SendToHub(WM_PLUGIN_LINK_ENDED, record, 0);
}
