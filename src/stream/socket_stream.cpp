// CSocketStream and the reader cell it shares with its reader thread.
//
// The hub destroys streams on its window's thread at any moment, while the
// reader may be waiting for input, framing a packet, or blocked inside a
// SendMessage to that very thread. The cell below is the only thing both
// sides touch after the stream may be gone, and the protocol around it is
// what keeps the two from deadlocking or using freed memory.
#include "stream/socket_stream.h"

#include <mstcpip.h>
#include <atomic>
#include <cstdio>
#include "stream/stream_messages.h"
#include "framework/async_socket.h"
#include "framework/handles.h"
#include "framework/sync.h"
#include "framework/thread.h"
#include "framework/trace.h"
#include "stream/global_packet.h"

namespace {
const SIZE_T kReaderStackBytes = 256 * 1024;  // the reader's stack reservation
}  // namespace

// Shared by a CSocketStream and its reader thread; freed by the last of the
// two to let go (m_refs), which also closes the socket.
//
// Protocol. Everything below m_cs is read and written under it.
//   m_bStop   set once, by the stream's destructor (any thread, normally the
//             hub window's). From then on m_pStream is dead to the reader.
//   m_place   where the reader is; written by the reader thread:
//               kIdle     waiting for input; touches the cell only
//               kInStream using the stream (framing, dispatch, log, writes
//                         into its peer)
//               kAtHub    inside SendMessage to the hub window; touches
//                         nothing of the stream until it re-enters
//               kGone     ended, or never started
//   The destructor waits (m_leftStream) only while the reader is kInStream,
//   and never when it runs on the reader thread itself (a stream that ends
//   itself from its own reader). A reader in the stream never blocks on the
//   hub window, because every SendMessage goes through kAtHub, so that wait
//   cannot deadlock; it lasts as long as the reader's current step once
//   woken: reads and write waits wake on m_wake, and writes into a peer are
//   bounded by the peer's own write limit. After SendMessage returns the
//   reader re-enters only if m_bStop is clear.
//   m_wake    manual reset; set for good by the stop mark or by a link that
//             broke on a write. Both are final. m_bWoken mirrors it, so the
//             reader asks a flag, not the event, before every wait.
//   m_leftStream is set only for a destructor that waits (m_bWaiter): a
//             reader that enters and leaves the stream once per packet then
//             costs no event calls, and once the stop mark is set it never
//             re-enters, so the event, once set, stays true.
class SocketReaderCell {
public:
    enum Place { kIdle, kInStream, kAtHub, kGone };
    enum WaitResult { kInput, kWoken, kFailed };

    SocketReaderCell(CSocketStream *stream, SOCKET socket);
    SocketReaderCell(const SocketReaderCell &) = delete;
    SocketReaderCell &operator=(const SocketReaderCell &) = delete;

    // Stream side (the creator's thread, then any thread that destroys it).
    bool CreateReader();
    void StartReader();
    void Stop();
    // Any writing thread: the link can no longer carry whole packets.
    void Break();
    bool Woken() const { return m_bWoken.load(std::memory_order_acquire); }
    bool Stopping() {
        fw::Lock lock(m_cs);
        return m_bStop;
    }
    void Release();

    // Reader thread.
    WaitResult WaitReadable();
    bool LinkHasNews() const;
    CSocketStream *Enter();
    void Leave() { MoveTo(kIdle); }
    void GoToHub() { MoveTo(kAtHub); }
    void ReaderDone() {
        MoveTo(kGone);
        Release();
    }
    bool OnReaderThread() const { return m_dwReaderId == ::GetCurrentThreadId(); }
    bool HasReader() const { return m_thread.IsValid(); }
    HANDLE DuplicateReader() const {
        HANDLE copy = nullptr;
        if (m_thread)
            ::DuplicateHandle(::GetCurrentProcess(), m_thread.Get(), ::GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0);
        return copy;
    }

private:
    ~SocketReaderCell();
    void MoveTo(Place place);

    CSocketStream *const m_pStream;  // dead to the reader once m_bStop is set
    const SOCKET m_hSocket;          // closed by the destructor
    fw::Handle m_readable;           // FD_READ / FD_CLOSE of the socket, auto reset; reader thread waits on it
    fw::Handle m_wake;               // stop or broken link; see above
    fw::Handle m_leftStream;         // manual reset: set when the reader leaves the stream for a waiter
    std::atomic<bool> m_bWoken{false};  // m_wake's state; set before the event, never cleared
    fw::Handle m_thread;             // created suspended; resumed by Open or by Stop
    DWORD m_dwReaderId = 0;          // fixed before the thread runs
    LONG m_refs = 1;                 // the stream, plus the reader once created; Interlocked

    fw::CriticalSection m_cs;
    bool m_bStop = false;
    bool m_bStarted = false;
    bool m_bWaiter = false;  // Stop waits for m_leftStream
    Place m_place = kGone;
};

SocketReaderCell::SocketReaderCell(CSocketStream *stream, SOCKET socket)
    : m_pStream(stream), m_hSocket(socket) {
    m_wake.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    m_leftStream.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (socket != INVALID_SOCKET) {
        // Auto reset: the wait consumes the signal itself, so no call per
        // packet goes to resetting it.
        m_readable.Reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
        // Replaces any selection the socket inherited; it stays non-blocking.
        if (m_readable && ::WSAEventSelect(socket, m_readable.Get(), FD_READ | FD_CLOSE) != 0) m_readable.Reset();
    }
    if (!m_readable) Break();  // no way to wait for input: the reader reports the link closed
}

SocketReaderCell::~SocketReaderCell() {
    if (m_hSocket != INVALID_SOCKET) ::closesocket(m_hSocket);
}

bool SocketReaderCell::CreateReader() {
    DWORD id = 0;
    // One reader per handheld: a small stack reservation keeps 150 of them
    // from taking a fifth of a 32-bit address space.
    m_thread.Reset(::CreateThread(nullptr, kReaderStackBytes, CSocketStream::ReaderMain, this,
                                  CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (!m_thread) return false;
    m_dwReaderId = id;
    m_place = kIdle;
    ::InterlockedIncrement(&m_refs);
    return true;
}

void SocketReaderCell::StartReader() {
    fw::Lock lock(m_cs);
    if (m_bStarted || !m_thread) return;
    m_bStarted = true;
    ::ResumeThread(m_thread.Get());
}

void SocketReaderCell::Stop() {
    bool wait;
    {
        fw::Lock lock(m_cs);
        if (m_bStop) return;
        m_bStop = true;
        m_bWoken.store(true, std::memory_order_release);
        ::SetEvent(m_wake.Get());
        wait = m_place == kInStream && !OnReaderThread();
        m_bWaiter = wait;
        if (!m_bStarted && m_thread) {
            m_bStarted = true;
            ::ResumeThread(m_thread.Get());  // it sees the stop mark and ends
        }
    }
    if (m_hSocket != INVALID_SOCKET) ::shutdown(m_hSocket, SD_BOTH);
    if (wait) ::WaitForSingleObject(m_leftStream.Get(), INFINITE);
}

void SocketReaderCell::Break() {
    if (m_hSocket != INVALID_SOCKET) ::shutdown(m_hSocket, SD_BOTH);
    m_bWoken.store(true, std::memory_order_release);
    ::SetEvent(m_wake.Get());
}

void SocketReaderCell::Release() {
    if (::InterlockedDecrement(&m_refs) == 0) delete this;
}

// The readiness event is edge-triggered: an edge that is ever missed would
// leave the connection deaf for good, its requests unread and its end
// unnoticed. Every recv re-arms FD_READ, and the reader waits only after
// one (the first wait of a link follows a read too), so an arrival after
// that read signals the event; a signal left over from bytes that read
// already took costs one empty read. At every time-out the wait still looks
// at the socket itself: bytes waiting, the peer's close and a broken link
// all count as input, which the dispatch then reads or reports.
bool SocketReaderCell::LinkHasNews() const {
    char byte;
    int r = ::recv(m_hSocket, &byte, 1, MSG_PEEK);
    return r >= 0 || ::WSAGetLastError() != WSAEWOULDBLOCK;
}

SocketReaderCell::WaitResult SocketReaderCell::WaitReadable() {
    const DWORD kRecheckMs = 500;
    HANDLE handles[2] = {m_wake.Get(), m_readable.Get()};
    DWORD count = m_readable ? 2 : 1;
    for (;;) {
        if (Woken()) return kWoken;
        switch (::WaitForMultipleObjects(count, handles, FALSE, kRecheckMs)) {
        case WAIT_OBJECT_0:
            return kWoken;
        case WAIT_OBJECT_0 + 1:
            return kInput;
        case WAIT_TIMEOUT:
            if (m_readable && LinkHasNews()) return kInput;
            continue;
        default:
            return kFailed;
        }
    }
}

CSocketStream *SocketReaderCell::Enter() {
    fw::Lock lock(m_cs);
    if (m_bStop) return nullptr;
    m_place = kInStream;
    return m_pStream;
}

void SocketReaderCell::MoveTo(Place place) {
    fw::Lock lock(m_cs);
    m_place = place;
    if (m_bWaiter) ::SetEvent(m_leftStream.Get());
}

// --- CSocketStream

namespace {
const DWORD kWriteWaitSliceMs = 50;
}  // namespace

CSocketStream::CSocketStream(fw::AsyncSocket *listener, UserInfo *pUserInfo, BOOL logging)
    : CStream(pUserInfo), m_hSocket(listener ? listener->Accept() : INVALID_SOCKET), m_bClosed(FALSE),
      m_pStopFlag(nullptr) {
    m_pHubGate = &m_gate;
    m_bLogging = logging;
    m_nReadBufferBytes = kReadBufferBytes;
    if (m_hSocket != INVALID_SOCKET) ConfigureSocket();
    m_pStopFlag = new SocketReaderCell(this, m_hSocket);
    // Without a reader nobody would ever notice the end of the link: the
    // owner asks HasReader and closes it at once.
    if (!m_pStopFlag->CreateReader()) m_pStopFlag->Break();
}

CSocketStream::~CSocketStream() {
    StopReader();
    m_pStopFlag->Release();
}

void CSocketStream::StopReader() { m_pStopFlag->Stop(); }

bool CSocketStream::HasReader() const { return m_pStopFlag->HasReader(); }
HANDLE CSocketStream::DuplicateReaderHandle() const { return m_pStopFlag->DuplicateReader(); }

void CSocketStream::ConfigureSocket() {
    BOOL on = TRUE;
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    // Short keep-alive: a handheld whose network vanished sends no close, and
    // without probes its connection would hold an id for hours.
    tcp_keepalive keepAlive = {1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD returned = 0;
    if (::WSAIoctl(m_hSocket, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr,
                   nullptr) != 0)
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on);
}

int CSocketStream::Open() {
    sockaddr_in peer = {};
    int length = sizeof peer;
    if (::getpeername(m_hSocket, reinterpret_cast<sockaddr *>(&peer), &length) == 0 && peer.sin_family == AF_INET) {
        const auto *b = reinterpret_cast<const unsigned char *>(&peer.sin_addr);
        char address[16];
        snprintf(address, sizeof address, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        SetDescription(address);
        char logName[64];
        snprintf(logName, sizeof logName, "Socket%s-%u.txt", address, static_cast<unsigned>(ntohs(peer.sin_port)));
        m_strLogName = logName;
    }
    OpenLog();
    m_pStopFlag->StartReader();
    return 1;
}

// Reader thread only: one recv of whatever has arrived, waiting only when
// nothing has. Every error other than "nothing yet" ends the link: on a
// connected TCP socket none of them goes away, and waiting on would spin.
int CSocketStream::ReadBytes(void *buffer, int count) {
    if (count <= 0) return 0;
    for (;;) {
        int n = ::recv(m_hSocket, static_cast<char *>(buffer), count, 0);
        if (n > 0) return n;
        if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) {
            m_bClosed = TRUE;
            return 0;
        }
        SocketReaderCell::WaitResult waited = m_pStopFlag->WaitReadable();
        if (waited == SocketReaderCell::kInput) continue;
        // Woken: the stream is being destroyed (the packet is simply lost) or
        // the link broke on a write. A failed wait ends the link as well.
        if (!m_pStopFlag->Stopping()) m_bClosed = TRUE;
        return 0;
    }
}

int CSocketStream::WriteBytes(const void *buffer, int count) {
    const char *bytes = static_cast<const char *>(buffer);
    int sent = 0;
    DWORD lastProgress = ::GetTickCount();
    while (sent < count) {
        int n = ::send(m_hSocket, bytes + sent, count - sent, 0);
        if (n > 0) {
            sent += n;
            // The hub window's own write is bounded from its start: a peer
            // that lets a segment through now and then must not hold it.
            if (!m_bHubWrite) lastProgress = ::GetTickCount();
            continue;
        }
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK && WaitWritable(lastProgress)) continue;
        break;
    }
    // Part of a packet on the wire leaves the handheld's framing out of step
    // for good, so the link ends; the reader reports it closed.
    if (sent < count) m_pStopFlag->Break();
    return sent;
}

// Sleeps in select until the socket takes bytes again, in short slices so a
// stop, a broken link or an interrupt from the hub is noticed; false after
// kWriteStallMs without progress (the hub window's own write: kHubGraceMs).
bool CSocketStream::WaitWritable(DWORD lastProgress) {
    const DWORD limit = m_bHubWrite ? kHubGraceMs : kWriteStallMs;
    for (;;) {
        if (m_pStopFlag->Woken() || WritesInterrupted()) return false;
        DWORD waited = ::GetTickCount() - lastProgress;
        if (waited >= limit) return false;
        DWORD slice = limit - waited < kWriteWaitSliceMs ? limit - waited : kWriteWaitSliceMs;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(m_hSocket, &writable);
        timeval timeout = {0, static_cast<long>(slice * 1000)};
        int ready = ::select(0, nullptr, &writable, nullptr, &timeout);
        if (ready == 1) return true;
        if (ready < 0) return false;
    }
}

bool CSocketStream::SendToHub(UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND hub = m_hHubWnd;
    SocketReaderCell *cell = m_pStopFlag;
    if (!cell->OnReaderThread()) {
        ::SendMessageA(hub, msg, wParam, lParam);
        return true;
    }
    cell->GoToHub();
    ::SendMessageA(hub, msg, wParam, lParam);
    return cell->Enter() != nullptr;
}

void CSocketStream::ReportClosed() {
    if (m_pUserInfo) SendToHub(WM_STREAM_CLOSED, reinterpret_cast<WPARAM>(m_pUserInfo), 0);
}

DWORD WINAPI CSocketStream::ReaderMain(void *arg) {
    fw::ReleaseUnusedStack();
    auto *cell = static_cast<SocketReaderCell *>(arg);
    try {
        RunReader(cell);
    } catch (...) {
        // Whatever failed (an allocation, most likely) ends this link only.
        fw::Trace("network link ended: its reader thread failed");
        cell->Break();
        if (CSocketStream *stream = cell->Enter()) stream->ReportClosed();
    }
    cell->ReaderDone();
    return 0;
}

void CSocketStream::RunReader(SocketReaderCell *cell) {
    // Read first: the wait relies on a read having re-armed FD_READ, and
    // bytes the handheld sent before the reader ran are taken at once.
    bool readFirst = true;  // bytes not framed yet or likely waiting, or none was read yet
    for (;;) {
        if (!readFirst && cell->WaitReadable() == SocketReaderCell::kFailed) return;
        CSocketStream *stream = cell->Enter();
        if (!stream) return;
        stream->DispatchPacket();
        // A hand-over, or the stream ending itself, may have stopped it.
        stream = cell->Enter();
        if (!stream) return;
        if (stream->IsOverBudget() && !stream->m_bClosed) {
            // The hub cannot hold this link's bytes: it alone ends.
            fw::Trace("network link ended: its packets would cross the hub's packet budget");
            cell->Break();
            stream->m_bClosed = TRUE;
        }
        if (stream->m_bClosed) {
            stream->ReportClosed();  // the hub destroys the stream before this returns
            return;
        }
        readFirst = stream->HasBufferedInput() || stream->MoreInputLikely();
        cell->Leave();
    }
}
