// Threads: a plain worker that is joined, and a thread with a message queue.
//
// A thread's id is useful to others only once its queue exists: a message
// posted before that is lost (error 1444). MessageThread::Start therefore
// returns only after the new thread has created its queue.
#pragma once
#include <windows.h>
#include "framework/handles.h"

namespace fw {

// Call first thing on a long-lived worker thread. Under Wine a
// new thread's whole stack reservation, about 1 MB, is resident from its
// start, though our threads use a few pages of it: with a thread or two per
// handheld that was most of the hub's memory. This tells the system that the
// pages well below the caller's frame hold nothing of interest; they are
// dropped and come back zero-filled should the stack ever grow into them. On
// Windows those pages were never touched and nothing changes.
void ReleaseUnusedStack();

class Thread {
public:
    typedef DWORD(WINAPI *Proc)(void *);
    Thread() = default;
    Thread(Thread &&) = default;
    Thread &operator=(Thread &&) = default;

    bool Start(Proc proc, void *arg) {
        DWORD id = 0;
        m_handle.Reset(::CreateThread(nullptr, 0, proc, arg, 0, &id));
        m_dwId = m_handle ? id : 0;
        return m_handle.IsValid();
    }
    // TRUE when the thread has ended within the time.
    bool Join(DWORD timeoutMs = INFINITE) {
        return !m_handle || ::WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0;
    }
    bool IsStarted() const { return m_handle.IsValid(); }
    DWORD Id() const { return m_dwId; }
    HANDLE Handle() const { return m_handle.Get(); }
    bool IsCurrent() const { return m_dwId != 0 && m_dwId == ::GetCurrentThreadId(); }

private:
    fw::Handle m_handle;
    DWORD m_dwId = 0;
};

// A thread running a message loop until WM_QUIT; derived classes answer
// thread messages. Its owner ends it with PostQuit and joins it before the
// object goes (the way a plug-in's thread ends). The hub's own workers do
// not end on a posted message: they share a cell with their owner instead.
class MessageThread {
public:
    MessageThread() = default;
    virtual ~MessageThread() = default;
    MessageThread(const MessageThread &) = delete;
    MessageThread &operator=(const MessageThread &) = delete;

    bool Start();  // returns once the queue exists; false when the thread could not start
    DWORD Id() const { return m_thread.Id(); }
    HANDLE Handle() const { return m_thread.Handle(); }
    bool Join(DWORD timeoutMs = INFINITE) { return m_thread.Join(timeoutMs); }
    BOOL Post(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostThreadMessageA(Id(), msg, wParam, lParam);
    }
    BOOL PostQuit() { return Post(WM_QUIT); }

protected:
    virtual void OnThreadMessage(const MSG &msg) {}

private:
    static DWORD WINAPI Main(void *self);
    Thread m_thread;
    fw::Handle m_ready;  // signalled by the new thread once its queue exists
};

}  // namespace fw
