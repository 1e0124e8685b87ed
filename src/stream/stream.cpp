// CStream base behaviour. Framing is delegated to the portable PacketFramer;
// this file only binds it to the stream's virtual byte I/O, its log and the
// hub window.
#include "stream/stream.h"

#include <limits.h>
#include "stream/stream_messages.h"
#include "framework/app.h"
#include "framework/trace.h"
#include "stream/global_packet.h"

namespace {
const uint8_t kEchoReply[NV_PACKET_SHORT_HEADER] = {NV_CMD_ECHO, 0, 0};
}  // namespace

// The framer's view of a stream: bytes from ReadBytes, events to the stream.
class CStream::Framing final : public PacketByteSource, public PacketFramer::Events {
public:
    explicit Framing(CStream &stream) : m_stream(stream) {}
    int ReadBytes(void *buffer, int count) override { return m_stream.ReadBytes(buffer, count); }
    // Reported once framing has let go of the stream's buffer: the hand-over
    // may end with the stream destroyed.
    void OnForeignSignature() override { m_stream.m_bForeignSeen = true; }
    void OnNoise(const uint8_t *bytes, size_t count) override { m_stream.LogNoise(bytes, count); }
    void OnOverBudget() override { m_stream.m_bOverBudget = true; }

private:
    CStream &m_stream;
};

CStream::CStream() : CStream(nullptr) {}

CStream::CStream(UserInfo *pUserInfo)
    : m_hHubWnd(fw::MainWindowHandle()),
      m_dwHubThreadId(m_hHubWnd ? ::GetWindowThreadProcessId(m_hHubWnd, nullptr) : 0), m_pUserInfo(pUserInfo),
      m_strLogName("Stream.txt"), m_hWriteInterrupt(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_strDescription("None") {}

CStream::~CStream() {
    m_pReader.reset();  // a packet under way gives its budget back
    fw::Lock lock(m_csWrite);
    m_log.Close();
}

void CStream::SendBeacon() {}

int CStream::Open() { return OpenLog(); }

uint8_t *CStream::FramePacket(const FramingRules &rules, uint8_t *idByte) {
    if (!m_pReader) {
        FramingRules charged = rules;
        charged.budget = &HubPacketBudget();
        m_pFraming.reset(new Framing(*this));
        m_pReader.reset(new PacketReader(GlobalPacketAllocator(), *m_pFraming, charged, m_nReadBufferBytes,
                                         &LinkBufferAllocator()));
    }
    uint8_t *packet = m_pReader->Next(*m_pFraming);
    if (packet && idByte) *idByte = m_pReader->ConnectionId();
    if (packet) m_pChargedPacket = packet;
    if (m_bForeignSeen) {
        m_bForeignSeen = false;
        ReportForeignSignature();  // the last use of the stream in this attempt
    }
    return packet;
}

void CStream::FreeFramedPacket(uint8_t *packet) {
    if (packet && packet == m_pChargedPacket) {
        m_pChargedPacket = nullptr;
        HubPacketBudget().Give(PacketSize(packet));
    }
    FreeGlobalPacket(packet);
}

uint8_t *CStream::ReadPacket(uint32_t *connectionId) {
    uint8_t *packet = FramePacket(FramingRules());
    if (!packet) return nullptr;
    *connectionId = m_pUserInfo ? m_pUserInfo->id : kNoConnectionId;
    LogPacket(packet, LogDirection::Read);
    return packet;
}

int CStream::WriteLoggedPacket(const uint8_t *packet, const void *wire, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) return 0;
    EnterWrite();
    LogPacket(packet, LogDirection::Written);
    int written = WriteBytes(wire, static_cast<int>(size));
    LeaveWrite();
    return written;
}

void CStream::EnterWrite() {
    const bool hub = OnHubThread();
    if (hub)
        EnterForHub(m_csWrite, this);
    else
        m_csWrite.Enter();
    m_bHubWrite = hub;
}

void CStream::LeaveWrite() {
    m_bHubWrite = false;
    m_csWrite.Leave();
}

bool CStream::OnHubThread() const { return m_dwHubThreadId && m_dwHubThreadId == ::GetCurrentThreadId(); }

void CStream::InterruptWrites() { ::SetEvent(m_hWriteInterrupt.Get()); }
void CStream::ResumeWrites() { ::ResetEvent(m_hWriteInterrupt.Get()); }

bool CStream::WritesInterrupted() const {
    return ::WaitForSingleObject(m_hWriteInterrupt.Get(), 0) == WAIT_OBJECT_0;
}

void CStream::EnterForHub(fw::CriticalSection &cs, CStream *blocker) {
    if (cs.EnterWithin(kHubGraceMs)) return;
    if (!blocker) {
        cs.Enter();
        return;
    }
    fw::Trace("a write that made no progress was interrupted so the hub can go on");
    blocker->InterruptWrites();
    cs.Enter();
    blocker->ResumeWrites();
}

void CStream::DetachPeer(UserInfo *pUserInfo) {
    CStream *peer = GetPeer();
    if (!peer) return;
    // The reader may be forwarding into the peer right now; a write there
    // that does not move is broken first.
    EnterForHub(m_csPeer, peer);
    m_pPeer.store(nullptr);
    m_csPeer.Leave();
    peer->RemoveUser(pUserInfo);
}

int CStream::WritePacket(const uint8_t *packet, uint32_t /*connectionId*/) {
    return WriteLoggedPacket(packet, packet, PacketSize(packet));
}

void CStream::Drain() {
    if (m_pReader) m_pReader->Discard();
    uint8_t byte;
    while (ReadBytes(&byte, 1) > 0) {
    }
}

void CStream::DispatchPacket() {
    uint32_t id = kNoConnectionId;
    uint8_t *packet = ReadPacket(&id);
    if (!packet) return;
    // Decided now: after a connect request the stream may be gone.
    const bool charged = packet == m_pChargedPacket;
    if (charged) m_pChargedPacket = nullptr;
    switch (PacketCommand(packet)) {
    case NV_CMD_CONNECT_REQUEST: {
        SetCtsFlowControl(TRUE);
        // The router may destroy this stream while it handles the message;
        // afterwards only the packet is ours.
        if (m_pUserInfo)
            HandOver(WM_STREAM_CONNECT, reinterpret_cast<WPARAM>(m_pUserInfo), reinterpret_cast<LPARAM>(packet));
        break;
    }
    case NV_CMD_ECHO:
        WritePacket(kEchoReply, id);
        break;
    case NV_CMD_NOOP:
        break;
    default:
        ForwardPacket(packet, id);
        break;
    }
    if (charged) HubPacketBudget().Give(PacketSize(packet));
    FreeGlobalPacket(packet);
}

void CStream::ForwardPacket(const uint8_t *packet, uint32_t connectionId) {
    fw::Lock lock(m_csPeer);
    if (CStream *peer = m_pPeer.load()) peer->WritePacket(packet, connectionId);
}

void CStream::ReportForeignSignature() {
    HandOver(WM_STREAM_FOREIGN, reinterpret_cast<WPARAM>(this), 0);
}

void CStream::HandOver(UINT msg, WPARAM wParam, LPARAM lParam) {
    CHubGate *gate = m_pHubGate;  // copied out: the stream may be gone on return
    HWND hub = m_hHubWnd;
    if (gate)
        gate->Send(hub, msg, wParam, lParam);
    else
        ::SendMessageA(hub, msg, wParam, lParam);
}

void CStream::SetPeer(CStream *pPeer) {
    fw::Lock lock(m_csPeer);  // waits for a forward into the old peer to finish
    m_pPeer.store(pPeer);
}
CStream *CStream::GetPeer() const { return m_pPeer.load(); }

void CStream::SetDescription(const std::string &description) {
    fw::Lock lock(m_csDescription);
    m_strDescription = description;
}

std::string CStream::GetDescription() const {
    fw::Lock lock(m_csDescription);
    return m_strDescription;
}

HANDLE CStream::GetPortHandle() const { return nullptr; }
int CStream::GetPortNumber() const { return 0; }

// --- Traffic log. Every entry is formatted and written under m_csWrite, the
// lock that also covers a packet's bytes, so entries of one stream never
// interleave and a written packet's entry sits right before its bytes.

int CStream::OpenLog() {
    if (!m_bLogging) return 1;
    fw::Lock lock(m_csWrite);
    if (m_log.Open(std::string(fw::GetModuleDir()) + m_strLogName)) m_log.Write(TrafficLogHeader());
    return 1;
}

// Entries are written in pieces, so a 16 MiB payload never needs its whole
// (six times larger) text in memory; the lock keeps the pieces together.
void CStream::LogPacket(const uint8_t *packet, LogDirection direction) {
    if (!m_bLogging || !packet) return;
    fw::Lock lock(m_csWrite);
    if (!m_log.IsOpen()) return;
    WritePacketEntry([this](const std::string &piece) { m_log.Write(piece); }, packet, PacketSize(packet),
                     direction);
}

void CStream::LogNoise(const uint8_t *bytes, size_t count) {
    if (!m_bLogging) return;
    fw::Lock lock(m_csWrite);
    if (!m_log.IsOpen()) return;
    WriteNoiseEntry([this](const std::string &piece) { m_log.Write(piece); }, bytes, count);
}
