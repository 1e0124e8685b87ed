// CPluginThreadStream: the hub's side of one user's link to an in-process
// plug-in, and CWMStreamThread, the hub thread on which that plug-in's
// packets for the user arrive.
//
// Three threads meet here: the user's reader thread writes packets towards
// the plug-in (copy into global memory, post), the stream's CWMStreamThread
// dispatches what the plug-in posts back, and the hub window's thread
// attaches, detaches and destroys the stream. The stream and its thread are
// tied by one pointer guarded by the thread's lock: a dispatch holds the
// lock from start to end, and detaching takes it, so the hub never destroys
// the stream (nor, after it, the user's stream) while the thread still
// writes into either. A connect request is the one packet whose handling may
// destroy the stream itself (the router detaches the user), so it goes to
// the hub window with the lock released and nothing of the stream is touched
// afterwards. The thread object is shared by the stream and its thread and
// goes with the last of the two (the reader cell's scheme): the stream's end
// sets a stop event, never a posted WM_QUIT, so neither a lost post nor a
// WM_QUIT posted by someone else can leave the thread behind or free it
// under the stream.
#pragma once
#include <windows.h>
#include "framework/sync.h"
#include "framework/thread.h"
#include "stream/plugin_queue.h"
#include "stream/stream.h"

class CPluginThreadStream;

class CWMStreamThread {
public:
    explicit CWMStreamThread(CPluginThreadStream *stream);
    CWMStreamThread(const CWMStreamThread &) = delete;
    CWMStreamThread &operator=(const CWMStreamThread &) = delete;

    // Returns once the thread's queue exists; false when it could not start.
    bool Start();
    DWORD Id() const { return m_thread.Id(); }
    // Hub window's thread: waits for a dispatch in progress to finish (one
    // blocked writing into userStream is interrupted), then forgets the
    // stream; later packets are released unread.
    void Detach(CStream *userStream, CStream *pluginStream);
    // The stream lets go: the thread releases what is still queued and
    // ends. The caller must not touch the object afterwards.
    void Stop();

private:
    ~CWMStreamThread() = default;
    static DWORD WINAPI Main(void *self);
    void Run();
    void Release();
    void OnPluginPacket(WPARAM wParam, LPARAM lParam);
    void ReleaseLatePackets();

    fw::CriticalSection m_cs;                // held for a whole dispatch
    CPluginThreadStream *m_pPluginStream;    // under m_cs; none once the stream is gone
    fw::Handle m_stop;                       // manual reset; set once by Stop
    fw::Handle m_ready;                      // set by the thread once its queue exists
    fw::Thread m_thread;
    LONG m_refs = 1;                         // the stream, plus the thread while it runs; Interlocked
};

class CPluginThreadStream : public CStream {
public:
    // Starts the CWMStreamThread; its id is the user's replyThreadId.
    CPluginThreadStream(UserInfo *pUserInfo, DWORD pluginThreadId, BOOL logging);
    ~CPluginThreadStream() override;

    DWORD GetReplyThreadId() const { return m_dwReplyThreadId; }
    DWORD GetPluginThreadId() const { return m_dwPluginThreadId; }

    int ReadBytes(void *, int) override { return 0; }
    int WriteBytes(const void *, int) override { return 0; }
    void SetReadTimeout(DWORD) override {}
    void SetWriteTimeout(DWORD) override {}
    void SetBaudRate(DWORD) override {}
    void SetCtsFlowControl(BOOL) override {}
    void AddUser(UserInfo *pUserInfo, CStream *pUserStream) override;
    // Tells the plug-in and destroys this stream: the caller must not use it again.
    void RemoveUser(UserInfo *pUserInfo) override;
    // The packet the plug-in posted, taken once.
    uint8_t *ReadPacket(uint32_t *connectionId) override;
    // Copies the packet into global memory and posts it to the plug-in
    // thread; nonzero when posted. The caller keeps its buffer.
    int WritePacket(const uint8_t *packet, uint32_t connectionId) override;
    void Drain() override;

    // Packets of this user not yet taken by the plug-in (tests).
    const PluginUserQueue &Queue() const { return *m_queue; }

private:
    friend class CWMStreamThread;
    void DetachThread();
    void EndAttachment(DWORD error);

    std::shared_ptr<PluginUserQueue> m_queue;  // fixed; counts what the plug-in has not taken
    std::atomic<bool> m_bPostFailed{false};    // set once by a writer whose post failed

    const DWORD m_dwPluginThreadId;   // fixed: target of every post to the plug-in
    uint8_t *m_pPending = nullptr;    // owned; the CWMStreamThread under its lock (the destructor after Detach)
    CWMStreamThread *m_pThread;       // not owned; hub window's thread; none once told to quit
    DWORD m_dwReplyThreadId = 0;      // fixed once the thread runs
};
