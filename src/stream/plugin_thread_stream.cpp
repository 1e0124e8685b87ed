// The plug-in thread link. Buffers change owner with every post: whoever
// posts gives the buffer up, whoever receives it frees it, and a post that
// fails leaves it with the poster. Packets towards the plug-in are copied
// because the plug-in frees what it receives; packets from the plug-in are
// dispatched in place.
#include "stream/plugin_thread_stream.h"

#include <stdio.h>
#include "stream/stream_messages.h"
#include "framework/trace.h"
#include "stream/global_packet.h"
#include "stream/plugin_queue.h"

namespace {

// A plug-in is trusted code, but a buffer that is not global memory, or
// shorter than its own header says, would make the hub free foreign memory
// or read past the buffer's end. Such a packet is dropped.
bool IsWholeGlobalPacket(const uint8_t *packet) {
    HGLOBAL mem = packet ? ::GlobalHandle(packet) : nullptr;
    if (!mem) return false;
    SIZE_T size = ::GlobalSize(mem);
    if (size < NV_PACKET_SHORT_HEADER) return false;
    if (PacketIsEscaped(packet) && size < NV_PACKET_LONG_HEADER) return false;
    return size >= PacketSize(packet);
}

}  // namespace

// --- CWMStreamThread

CWMStreamThread::CWMStreamThread(CPluginThreadStream *stream)
    : m_pPluginStream(stream), m_stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

bool CWMStreamThread::Start() {
    if (!m_stop || !m_ready) return false;
    ::InterlockedIncrement(&m_refs);  // the thread's
    if (!m_thread.Start(Main, this)) {
        ::InterlockedDecrement(&m_refs);
        return false;
    }
    ::WaitForSingleObject(m_ready.Get(), INFINITE);
    return true;
}

void CWMStreamThread::Stop() {
    ::SetEvent(m_stop.Get());
    Release();
}

void CWMStreamThread::Release() {
    if (::InterlockedDecrement(&m_refs) == 0) delete this;
}

DWORD WINAPI CWMStreamThread::Main(void *arg) {
    fw::ReleaseUnusedStack();
    auto *self = static_cast<CWMStreamThread *>(arg);
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    ::SetEvent(self->m_ready.Get());
    self->Run();
    self->ReleaseLatePackets();
    self->Release();  // the last use of the object on this thread
    return 0;
}

// Thread messages are taken until the stop event; a WM_QUIT is not ours to
// obey (only the stream ends this thread) and is dropped like any stranger.
// The wait comes first and returns at once while input is queued, so a
// packet costs one wait and one take, not a second take that finds the
// queue empty.
void CWMStreamThread::Run() {
    HANDLE stop = m_stop.Get();
    for (;;) {
        DWORD r = ::MsgWaitForMultipleObjectsEx(1, &stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + 1) return;  // stopped, or the wait failed
        MSG msg;
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) continue;
        if (msg.hwnd) {
            ::DispatchMessageA(&msg);
            continue;
        }
        if (msg.message != WM_PLUGIN_PACKET) continue;
        try {
            OnPluginPacket(msg.wParam, msg.lParam);
        } catch (...) {
            fw::Trace("a plug-in's packet for a user was dropped: its dispatch failed");
        }
    }
}

// The plug-in may go on answering the user until it takes the removal from
// its queue, and a post to a thread that is ending succeeds but is lost with
// the thread's queue. So the thread lingers until the plug-in has been quiet
// for a moment, releasing what still comes, before its queue goes.
void CWMStreamThread::ReleaseLatePackets() {
    const DWORD kQuietMs = 200, kMostMs = 2000;
    DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            if (!msg.hwnd && msg.message == WM_PLUGIN_PACKET) FreeGlobalPacket(reinterpret_cast<const void *>(msg.lParam));
    } while (::GetTickCount() - start < kMostMs &&
             ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kQuietMs, QS_POSTMESSAGE) == WAIT_OBJECT_0);
}

void CWMStreamThread::Detach(CStream *userStream, CStream *pluginStream) {
    // A dispatch may be writing into the user's stream, or waiting for room
    // in the plug-in's queue to answer an ECHO: one that does not move is
    // interrupted rather than waited for.
    if (!m_cs.EnterWithin(CStream::kHubGraceMs)) {
        fw::Trace("a plug-in's reply that made no progress was interrupted so the hub can go on");
        if (userStream) userStream->InterruptWrites();
        pluginStream->InterruptWrites();
        m_cs.Enter();
        if (userStream) userStream->ResumeWrites();
        pluginStream->ResumeWrites();
    }
    m_pPluginStream = nullptr;
    m_cs.Leave();
}

// wParam names the user as the plug-in sees it; the packet is attributed to
// this stream's own user all the same, so a plug-in that mixes up users
// cannot make the hub act for a user that is not this stream's (or is gone).
void CWMStreamThread::OnPluginPacket(WPARAM, LPARAM lParam) {
    auto *packet = reinterpret_cast<uint8_t *>(lParam);
    if (!IsWholeGlobalPacket(packet)) {
        FreeGlobalPacket(packet);  // ignores what is not global memory
        return;
    }
    HWND hub = nullptr;
    UserInfo *user = nullptr;
    {
        fw::Lock lock(m_cs);
        CPluginThreadStream *stream = m_pPluginStream;
        if (stream && PacketCommand(packet) != NV_CMD_CONNECT_REQUEST) {
            stream->m_pPending = packet;
            stream->DispatchPacket();  // takes the pending packet and frees it
            return;
        }
        if (stream) {
            stream->LogPacket(packet, LogDirection::Read);
            hub = stream->GetHubWindow();
            user = stream->GetUserInfo();
        }
    }
    // A connect request on behalf of the user. The router may destroy the
    // stream while it handles it, so the lock is free and the stream is not
    // touched again.
    if (user)
        ::SendMessageA(hub, WM_STREAM_CONNECT, reinterpret_cast<WPARAM>(user),
                       reinterpret_cast<LPARAM>(packet));
    FreeGlobalPacket(packet);
}

// --- CPluginThreadStream

CPluginThreadStream::CPluginThreadStream(UserInfo *pUserInfo, DWORD pluginThreadId, BOOL logging)
    : CStream(pUserInfo), m_dwPluginThreadId(pluginThreadId), m_pThread(nullptr) {
    m_bLogging = logging;
    char name[32];
    snprintf(name, sizeof name, "Plug%lu.txt", static_cast<unsigned long>(pluginThreadId));
    m_strLogName = name;
    m_queue = CPluginQueueWatch::Attach(pluginThreadId);
    auto *thread = new CWMStreamThread(this);
    if (thread->Start()) {
        m_pThread = thread;
        m_dwReplyThreadId = thread->Id();
    } else {
        fw::Trace("plug-in user %lu has no reply thread: it could not start",
                  static_cast<unsigned long>(pUserInfo ? pUserInfo->id : 0));
        thread->Stop();  // never ran: this frees it
    }
    SetDescription("Local");
}

CPluginThreadStream::~CPluginThreadStream() {
    DetachThread();
    Drain();
    if (m_pThread) m_pThread->Stop();  // the thread may free it at any moment now
    m_pThread = nullptr;
    CPluginQueueWatch::Detach(m_dwPluginThreadId, m_queue);
}

void CPluginThreadStream::DetachThread() {
    if (m_pThread) m_pThread->Detach(GetPeer(), this);
}

void CPluginThreadStream::AddUser(UserInfo *pUserInfo, CStream *pUserStream) {
    SetPeer(pUserStream);
    ::PostThreadMessageA(m_dwPluginThreadId, WM_PLUGIN_USER_ADDED, reinterpret_cast<WPARAM>(pUserInfo), 0);
}

void CPluginThreadStream::RemoveUser(UserInfo *pUserInfo) {
    // Detached first: once the plug-in hears of the removal, no packet of
    // it for this user is still on its way into the user's stream.
    DetachThread();
    ::PostThreadMessageA(m_dwPluginThreadId, WM_PLUGIN_USER_REMOVED, reinterpret_cast<WPARAM>(pUserInfo), 0);
    SetPeer(nullptr);
    delete this;
}

uint8_t *CPluginThreadStream::ReadPacket(uint32_t *connectionId) {
    uint8_t *packet = m_pPending;
    m_pPending = nullptr;
    if (!packet) return nullptr;
    LogPacket(packet, LogDirection::Read);
    *connectionId = m_pUserInfo ? m_pUserInfo->id : kNoConnectionId;
    return packet;
}

// Flow control: past the bound of unconsumed packets the writer (the user's
// reader thread) waits here for the plug-in to catch up, so the user's link
// slows and nothing is lost. Only a detach, which interrupts the wait, gives up.
int CPluginThreadStream::WritePacket(const uint8_t *packet, uint32_t /*connectionId*/) {
    if (m_bPostFailed) return 0;
    const size_t size = PacketSize(packet);
    if (!m_queue->WaitForRoom(WriteInterruptEvent())) return 0;
    uint8_t *copy = CopyToGlobalPacket(packet);
    if (!copy) return 0;
    fw::Lock lock(m_csWrite);  // log entries in the order of the posts
    LogPacket(copy, LogDirection::Written);
    const uint64_t ticket = m_queue->Posting(copy, size);
    if (::PostThreadMessageA(m_dwPluginThreadId, WM_PLUGIN_USER_PACKET, reinterpret_cast<WPARAM>(m_pUserInfo),
                             reinterpret_cast<LPARAM>(copy))) {
        m_queue->Posted(copy, ticket);
        return 1;
    }
    DWORD error = ::GetLastError();
    m_queue->Unposted(copy);
    FreeGlobalPacket(copy);  // never reached the plug-in: the copy is still ours
    EndAttachment(error);
    return 0;
}

// A post failed: the plug-in's thread is gone or its queue is full. Rather
// than lose packets one by one, the attachment ends: later writes are
// refused and the hub window detaches the user (posted, since the writer
// may hold locks the detach takes).
void CPluginThreadStream::EndAttachment(DWORD error) {
    if (m_bPostFailed.exchange(true)) return;
    fw::Trace("user %lu detached from plug-in thread %lu: a post failed (error %lu)",
              static_cast<unsigned long>(m_pUserInfo ? m_pUserInfo->id : 0),
              static_cast<unsigned long>(m_dwPluginThreadId), static_cast<unsigned long>(error));
    ::PostMessageA(m_hHubWnd, WM_PLUGIN_LINK_FAILED, reinterpret_cast<WPARAM>(m_pUserInfo),
                   reinterpret_cast<LPARAM>(static_cast<CStream *>(this)));
}

void CPluginThreadStream::Drain() {
    FreeGlobalPacket(m_pPending);
    m_pPending = nullptr;
}
