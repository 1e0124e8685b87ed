// CSerialStream: a handheld on a COM port (cable or cradle).
//
// The port is opened overlapped so that one event thread can sit in a read
// while other threads write: forwarded packets from the plug-in side, router
// answers and beacons from the hub window's thread. A read takes all that the
// driver holds, or waits up to the one-second time-out for the next byte, so
// a packet still stalls at most that long per missing byte; on an idle line
// that read is also the thread's wait for input. A write is one call, and
// costs no wait when the driver takes it at once.
//
// The event thread may be blocked inside a connect request that it sent to
// the hub window when the hub window destroys the stream, possibly from a
// message box opened by that very request. Waiting for the thread there would
// deadlock, so the thread and the stream share a small link block that
// outlives the stream: the destructor stops the thread and waits for it
// (handling sent messages meanwhile); only when the thread is still at the
// hub window after a short grace (its request is being handled further down
// the hub window's stack) does it leave the thread to find out through the
// link that the stream has gone.
#pragma once
#include <windows.h>
#include <atomic>
#include "framework/handles.h"
#include "framework/sync.h"
#include "framework/thread.h"
#include "stream/stream.h"

class CSerialStream : public CStream {
public:
    CSerialStream(UserInfo *pUserInfo, int port, BOOL logging);
    ~CSerialStream() override;

    int ReadBytes(void *buffer, int count) override;
    int WriteBytes(const void *buffer, int count) override;
    void SetReadTimeout(DWORD milliseconds) override;
    void SetWriteTimeout(DWORD milliseconds) override;
    void SetBaudRate(DWORD rate) override;
    void SetCtsFlowControl(BOOL on) override;
    void AddUser(UserInfo *, CStream *) override {}
    void RemoveUser(UserInfo *) override {}
    void SendBeacon() override;
    int Open() override;
    void ReportForeignSignature() override;
    HANDLE GetPortHandle() const override { return m_hPort.Get(); }
    int GetPortNumber() const override { return m_nPort; }

    // How the event thread learns of input; for tests and diagnostics.
    // kNotStarted until the thread has found out whether the driver can wait.
    enum class ReaderMode { kNotStarted, kWaiting, kPolling, kEnded };
    ReaderMode GetReaderMode() const { return m_readerMode.load(); }

    // Interval of the input poll used where the driver cannot wait for events.
    static const DWORD kPollIntervalMs = 5;

private:
    struct Link;
    // Hand-overs of the base (connect request, foreign traffic) go through
    // here, so the link knows what the event thread is waiting on the hub for.
    struct EventThreadGate final : CHubGate {
        void Send(HWND hub, UINT msg, WPARAM wParam, LPARAM lParam) override;
        Link *link = nullptr;  // set by Open before the thread starts; fixed afterwards
    };

    static DWORD WINAPI EventThreadMain(void *arg);
    static void RunEventLoop(CSerialStream *stream, Link *link);
    enum class WaitProbe { kWorks, kFailed, kInputQueued, kStopped };
    bool ChooseReader(Link *link, ReaderMode *mode);
    WaitProbe ProbeWait(HANDLE event);
    // False when the stream went away during the dispatch: touch nothing of it.
    static bool DispatchOne(CSerialStream *stream, Link *link);
    // Waits for an overlapped operation of this thread: NO_ERROR or the error.
    DWORD FinishIo(OVERLAPPED *ov, DWORD *transferred);
    DWORD FinishWrite(DWORD *written);
    bool ApplyLineSettings();
    void StopEventThread();
    template <class Change> void ChangeCommState(Change change);

    int m_nPort;                 // fixed at construction
    fw::FileHandle m_hPort;      // opened by Open on the creating thread, closed by the destructor
    fw::Thread m_eventThread;    // started by Open; joined or left behind by the destructor
    Link *m_pLink = nullptr;     // shared with the event thread; see Link
    EventThreadGate m_gate;
    OVERLAPPED m_ovRead;         // event thread only (ReadBytes)
    OVERLAPPED m_ovWrite;        // writers, under m_csWrite
    fw::Handle m_hReadEvent;     // m_ovRead.hEvent
    fw::Handle m_hWriteEvent;    // m_ovWrite.hEvent
    fw::Handle m_hStop;          // manual reset; set once by the destructor
    std::atomic<bool> m_bStopping{false};  // set with m_hStop; looked at without a call per packet
    bool m_bReadCameUpEmpty = false;  // event thread: the last ReadBytes brought no byte
    DWORD m_dwReadError = NO_ERROR;   // event thread: why it did, unless a time-out
    fw::CriticalSection m_csState;  // one DCB read-modify-write at a time (hub window and event thread)
    std::atomic<ReaderMode> m_readerMode{ReaderMode::kNotStarted};  // written by the event thread
};
