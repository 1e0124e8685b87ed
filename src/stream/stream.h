// CStream: the packet endpoint every link of the hub derives from.
//
// The base does everything that is the same on every link: it frames packets
// out of the transport's bytes, hands connect requests to the hub window,
// answers ECHO, drops NOOP and forwards the rest to the paired stream (the
// peer), and keeps the traffic log. A transport supplies only raw byte I/O.
//
// The 23 virtual operations are declared in a fixed order (slot 0 is the
// destructor, slot 22 GetPortNumber); keep that order and add no others.
//
// What a transport must implement:
//   ReadBytes     return as soon as at least one byte arrived, with as many
//                 as are waiting (at most `count`); 0 when the link's own
//                 time-out or closure ends the read. The framing reads into a
//                 buffer of the stream's own and takes a 0 inside a packet as
//                 the packet's end (a cut payload is logged as noise).
//   WriteBytes    put the bytes on the link in order; return how many went out.
//   SetReadTimeout, SetWriteTimeout, SetBaudRate, SetCtsFlowControl
//                 serial settings; other links do nothing.
//   AddUser, RemoveUser
//                 plug-in side streams learn and forget users; user streams
//                 do nothing.
// and, usually, its destructor (close the link, join its thread) and Open
// (open the link, then OpenLog). Set m_strLogName and the description before
// Open, and m_bLogging in the constructor as the creator asks.
//
// Writes come from several threads (reader threads of other streams
// forwarding, the hub window's thread answering): WritePacket holds
// m_csWrite over the log entry and the bytes, so packets and entries never
// interleave. A transport that overrides WritePacket takes the same lock
// (or uses WriteLoggedPacket); one that overrides ReadPacket frames with
// FramePacket, logs with LogPacket and frees what it keeps with
// FreeFramedPacket (a framed packet's bytes count against the hub's packet
// budget until then).
//
// Reading is buffered: one ReadBytes takes whatever has arrived, and the
// packets in it are framed one per DispatchPacket. A reader thread therefore
// dispatches again, without waiting for the link, while HasBufferedInput().
#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include <string>
#include "framework/handles.h"
#include "framework/sync.h"
#include "norvane_plugin.h"
#include "stream/packet.h"
#include "stream/traffic_log.h"
#include "stream/traffic_log_format.h"

// How a transport's thread reaches the hub window. A transport whose thread
// must count as away from the stream while the hub handles a hand-over (the
// hub may destroy the stream meanwhile) installs one; Send must touch neither
// the stream nor the gate once SendMessage has returned.
class CHubGate {
public:
    virtual void Send(HWND hub, UINT msg, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~CHubGate() = default;
};

class CStream {
public:
    CStream();
    explicit CStream(UserInfo *pUserInfo);
    CStream(const CStream &) = delete;
    CStream &operator=(const CStream &) = delete;

    virtual ~CStream();                                                      // 0
    virtual int ReadBytes(void *buffer, int count) = 0;                      // 1
    virtual int WriteBytes(const void *buffer, int count) = 0;               // 2
    virtual void SetReadTimeout(DWORD milliseconds) = 0;                     // 3
    virtual void SetWriteTimeout(DWORD milliseconds) = 0;                    // 4
    virtual void SetBaudRate(DWORD rate) = 0;                                // 5
    virtual void SetCtsFlowControl(BOOL on) = 0;                             // 6
    virtual void AddUser(UserInfo *pUserInfo, CStream *pUserStream) = 0;     // 7
    virtual void RemoveUser(UserInfo *pUserInfo) = 0;                        // 8
    virtual void SendBeacon();                                               // 9
    // Nonzero on success. The base opens the traffic log.
    virtual int Open();                                                      // 10
    // A packet in global memory that the caller frees, or null.
    virtual uint8_t *ReadPacket(uint32_t *connectionId);                     // 11
    // The caller keeps the packet. Returns the bytes written.
    virtual int WritePacket(const uint8_t *packet, uint32_t connectionId);   // 12
    virtual void Drain();                                                    // 13
    // One packet. After a connect request the router may have destroyed this
    // stream: nothing of it is touched once the hub window has answered.
    virtual void DispatchPacket();                                           // 14
    virtual void ForwardPacket(const uint8_t *packet, uint32_t connectionId);// 15
    virtual void ReportForeignSignature();                                   // 16
    virtual void SetPeer(CStream *pPeer);                                    // 17
    virtual CStream *GetPeer() const;                                        // 18
    virtual void SetDescription(const std::string &description);             // 19
    virtual std::string GetDescription() const;                              // 20
    virtual HANDLE GetPortHandle() const;                                    // 21
    virtual int GetPortNumber() const;                                       // 22

    // Traffic log. OpenLog always returns 1: a log that cannot be created
    // leaves the stream working without one.
    int OpenLog();
    void LogPacket(const uint8_t *packet, LogDirection direction);
    void LogNoise(const uint8_t *bytes, size_t count);

    // Reader thread: bytes read from the link and not yet framed.
    bool HasBufferedInput() const { return m_pReader && m_pReader->HasBufferedInput(); }
    // Reader thread: the last read took all it asked for, so more is likely
    // waiting on the link (a large packet, a burst): reading again at once
    // costs less than a wait for the link to say so.
    bool MoreInputLikely() const { return m_pReader && m_pReader->LastReadFilled(); }
    // Reader thread: the hub's packet budget could not take this link's next
    // bytes. The packet was dropped; the transport ends the link.
    bool IsOverBudget() const { return m_bOverBudget; }

    UserInfo *GetUserInfo() const { return m_pUserInfo; }
    HWND GetHubWindow() const { return m_hHubWnd; }

    // --- The hub window's thread never waits behind a peer that does not read.
    // It gives a lock that a writer holds kHubGraceMs; then it interrupts the
    // blocked write (a socket link ends with it, a serial write is cancelled
    // and its packet lost) and proceeds. Its own writes give up after the same
    // grace.
    static const DWORD kHubGraceMs = 250;
    // Ends any write into this stream that waits now, and makes new ones fail
    // at once until ResumeWrites. Hub window's thread.
    void InterruptWrites();
    void ResumeWrites();
    // Enters `cs`, which a writer into `blocker` may hold: after the grace,
    // the blocker's writes are interrupted.
    static void EnterForHub(fw::CriticalSection &cs, CStream *blocker);
    // Unpairs this user stream from its plug-in side and then tells that side
    // (RemoveUser, which may destroy it). The one detach sequence of the hub:
    // once the peer is cleared no forward is inside the old peer any more.
    void DetachPeer(UserInfo *pUserInfo);

protected:
    // Frames one packet from the stream's read buffer, reading when it is
    // empty, under the given rules (the same on every call of a stream);
    // reports foreign traffic and noise through this stream. Null when the
    // attempt ended without a packet. Reader thread only. After a foreign
    // signature (null, reported through the hub window) the stream may be
    // gone: the caller must then touch nothing of it.
    uint8_t *FramePacket(const FramingRules &rules, uint8_t *idByte = nullptr);
    // Frees a packet FramePacket returned and gives its bytes back to the budget.
    void FreeFramedPacket(uint8_t *packet);
    // Logs `packet` as written and sends `wire` (its bytes as this link puts
    // them) in one piece, both under m_csWrite.
    int WriteLoggedPacket(const uint8_t *packet, const void *wire, size_t size);
    // Take and leave m_csWrite around one whole write; from the hub window's
    // thread the wait for it and the write are bounded by the hub's grace.
    void EnterWrite();
    void LeaveWrite();
    // For WriteBytes: set while InterruptWrites holds (manual reset event).
    HANDLE WriteInterruptEvent() const { return m_hWriteInterrupt.Get(); }
    bool WritesInterrupted() const;
    // Size of the read buffer, fixed before the first read. A transport
    // whose link delivers large packets quickly asks for more, so one read
    // takes a whole packet.
    size_t m_nReadBufferBytes = PacketReader::kDefaultBufferSize;
    // Under m_csWrite: the write under way is the hub window's own, which
    // must give up after kHubGraceMs instead of waiting for the peer.
    bool m_bHubWrite = false;
    bool OnHubThread() const;

    // Set on the hub window's thread, read by the reader thread. A forward
    // holds m_csPeer across its write into the peer, and SetPeer takes it
    // too: once SetPeer(nullptr) has returned, no forward is still inside the
    // old peer, which may then be destroyed. Whoever detaches clears the peer
    // first and only then tells the peer (RemoveUser).
    std::atomic<CStream *> m_pPeer{nullptr};
    fw::CriticalSection m_csPeer;
    // SendMessage to the hub window, through m_pHubGate when there is one.
    // Nothing of the stream is touched after the message was handled.
    void HandOver(UINT msg, WPARAM wParam, LPARAM lParam);
    CHubGate *m_pHubGate = nullptr;  // set by the transport's constructor; fixed afterwards
    HWND m_hHubWnd;                           // fixed at construction
    const DWORD m_dwHubThreadId;              // the hub window's thread; fixed at construction
    UserInfo *m_pUserInfo;                    // fixed at construction; lives in the CUserConnection
    CTrafficLog m_log;                        // any writing thread, under m_csWrite
    std::string m_strLogName;                 // set by the transport before Open
    BOOL m_bLogging = FALSE;                  // set by the creator before Open; read by any thread
    fw::CriticalSection m_csWrite;            // one packet (log entry and bytes) at a time

private:
    fw::Handle m_hWriteInterrupt;
    class Framing;
    friend class Framing;
    // Reader thread only: the read buffer and the packet under way, and which
    // packet last handed out still holds a budget charge.
    std::unique_ptr<Framing> m_pFraming;
    std::unique_ptr<PacketReader> m_pReader;
    const uint8_t *m_pChargedPacket = nullptr;
    bool m_bOverBudget = false;
    bool m_bForeignSeen = false;

    mutable fw::CriticalSection m_csDescription;
    std::string m_strDescription;  // any thread, under m_csDescription
};
