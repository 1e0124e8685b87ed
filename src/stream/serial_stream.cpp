// The serial transport and its event thread.
//
// On an idle line the event thread waits inside its read for the next byte:
// the driver completes the read the moment a byte arrives, and the read's
// own time-out is the per-byte time-out inside a packet, so one call serves
// both. A wait for received characters (WaitCommEvent) would cost more per
// packet and, under Wine, wakes no sooner than its next poll of the line.
// It is used once, to learn whether the driver can wait at all: a
// pseudo-terminal under Wine fails it at once, every time, and there the
// event thread polls the input queue instead (the port still answers
// ClearCommError), so the connection never goes deaf unnoticed.
//
// Shutdown is flag + signal + join, except while the event thread is at the
// hub window (inside a hand-over): joining could then deadlock (see
// serial_stream.h), so the thread is left to find the stream gone through
// the link when it returns. The link says where the thread is, as the socket
// reader's cell does.
#include "stream/serial_stream.h"

#include <cstdio>
#include "stream/stream_messages.h"
#include "framework/trace.h"
#include "norvane_plugin.h"

namespace {

const DWORD kOpenReadTimeoutMs = 1000;
const DWORD kOpenWriteTimeoutMs = 30000;
const DWORD kBaudRate = 57600;
// A wait or read that fails now and then (another thread's I/O on the port
// can end it under some drivers) is not a driver that cannot wait: only this
// many failures in a row switch the reader to polling.
const int kMaxFailedWaits = 3;
// How long a wait for received characters must stay pending on an idle line
// to show that the driver can wait. Input ends it sooner.
const DWORD kWaitProbeMs = 200;
const uint8_t kBeacon[NV_PACKET_SHORT_HEADER] = {NV_CMD_HUB_BEACON, 0, 0};

// Waits up to timeoutMs for a thread while still handling messages sent to
// this thread, so that a thread blocked in SendMessage to us can finish and
// end. True when it ended (or the wait failed).
bool JoinHandlingSentMessages(HANDLE thread, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD waited = ::GetTickCount() - start;
        if (waited >= timeoutMs) return ::WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
        DWORD r = ::MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - waited, QS_SENDMESSAGE);
        if (r == WAIT_TIMEOUT) return false;
        if (r != WAIT_OBJECT_0 + 1) return true;  // ended, or the wait itself failed
    }
}

fw::Handle NewAutoResetEvent() { return fw::Handle(::CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

}  // namespace

// Shared by the stream and its event thread; whichever lets go last frees it.
struct CSerialStream::Link {
    fw::CriticalSection cs;
    LONG refs = 2;                    // the stream and the event thread
    CSerialStream *stream = nullptr;  // valid while !streamGone
    DWORD threadId = 0;               // written by the event thread before its first read
    bool atHub = false;               // under cs: the event thread is inside a hand-over and uses
                                      //   nothing of the stream until it returns
    bool streamGone = false;          // under cs: the destructor left the thread behind

    void Release() {
        if (::InterlockedDecrement(&refs) == 0) delete this;
    }
};

CSerialStream::CSerialStream(UserInfo *pUserInfo, int port, BOOL logging)
    : CStream(pUserInfo), m_nPort(port), m_ovRead(), m_ovWrite(),
      m_hReadEvent(NewAutoResetEvent()), m_hWriteEvent(NewAutoResetEvent()),
      m_hStop(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    char name[32];
    snprintf(name, sizeof name, "SerialPort%d.txt", port);
    m_strLogName = name;
    m_bLogging = logging;
    m_ovRead.hEvent = m_hReadEvent.Get();
    m_ovWrite.hEvent = m_hWriteEvent.Get();
    m_pHubGate = &m_gate;
}

CSerialStream::~CSerialStream() {
    StopEventThread();
    m_hPort.Reset();  // the events and the thread handle close with their owners
}

void CSerialStream::StopEventThread() {
    Link *link = m_pLink;
    if (!link) return;
    // Every wait of the thread in the stream ends on the stop event, and a
    // hand-over of it that is still queued is handled while we wait. One that
    // is being handled further down this thread's stack (the handler destroys
    // us, perhaps from a message box) cannot return before we do: once the
    // grace has passed with the thread still at the hub window, it is left to
    // find the stream gone through the link; it touches nothing of it then.
    m_bStopping = true;
    ::SetEvent(m_hStop.Get());
    while (!JoinHandlingSentMessages(m_eventThread.Handle(), kHubGraceMs)) {
        fw::Lock lock(link->cs);
        if (link->atHub) {
            link->streamGone = true;
            break;
        }
    }
    m_pLink = nullptr;
    link->Release();
}

int CSerialStream::Open() {
    CStream::Open();  // the traffic log
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\COM%d", m_nPort);
    m_hPort.Reset(::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
    if (!m_hPort) return 0;
    if (!ApplyLineSettings()) return 0;  // the port stays open until the stream goes
    SetReadTimeout(kOpenReadTimeoutMs);
    SetWriteTimeout(kOpenWriteTimeoutMs);

    auto *link = new Link;
    link->stream = this;
    m_pLink = link;
    m_gate.link = link;
    if (!m_eventThread.Start(EventThreadMain, link)) {
        m_pLink = nullptr;
        m_gate.link = nullptr;
        delete link;
        return 0;
    }
    SendBeacon();
    char description[16];
    snprintf(description, sizeof description, "COM%d", m_nPort);
    SetDescription(description);
    return 1;
}

bool CSerialStream::ApplyLineSettings() {
    fw::Lock lock(m_csState);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(m_hPort.Get(), &dcb)) return false;
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    return ::SetCommState(m_hPort.Get(), &dcb) != FALSE;
}

void CSerialStream::SetReadTimeout(DWORD ms) {
    COMMTIMEOUTS t;
    if (!::GetCommTimeouts(m_hPort.Get(), &t)) return;
    t.ReadTotalTimeoutMultiplier = 0;
    if (ms == static_cast<DWORD>(-1)) {
        t.ReadIntervalTimeout = 0;  // wait for every byte asked for
        t.ReadTotalTimeoutConstant = 0;
    } else if (ms == 0) {
        t.ReadIntervalTimeout = MAXDWORD;  // what is buffered, at once
        t.ReadTotalTimeoutConstant = 0;
    } else {
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutConstant = ms;
    }
    ::SetCommTimeouts(m_hPort.Get(), &t);
}

void CSerialStream::SetWriteTimeout(DWORD ms) {
    COMMTIMEOUTS t;
    if (!::GetCommTimeouts(m_hPort.Get(), &t)) return;
    t.WriteTotalTimeoutMultiplier = 0;
    if (ms == static_cast<DWORD>(-1))
        t.WriteTotalTimeoutConstant = 0;
    else if (ms == 0)
        t.WriteTotalTimeoutConstant = 1;
    else
        t.WriteTotalTimeoutConstant = ms;
    ::SetCommTimeouts(m_hPort.Get(), &t);
}

// One read-modify-write of the line settings; both the hub window (connect
// handling, beacons) and the event thread change them.
template <class Change>
void CSerialStream::ChangeCommState(Change change) {
    fw::Lock lock(m_csState);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(m_hPort.Get(), &dcb)) return;
    change(dcb);
    ::SetCommState(m_hPort.Get(), &dcb);
}

void CSerialStream::SetBaudRate(DWORD rate) {
    ChangeCommState([rate](DCB &dcb) { dcb.BaudRate = rate; });
}

void CSerialStream::SetCtsFlowControl(BOOL on) {
    ChangeCommState([on](DCB &dcb) { dcb.fOutxCtsFlow = on ? 1 : 0; });
}

void CSerialStream::SendBeacon() {
    SetCtsFlowControl(FALSE);
    WritePacket(kBeacon, 0);
}

DWORD CSerialStream::FinishIo(OVERLAPPED *ov, DWORD *transferred) {
    *transferred = 0;
    HANDLE waits[2] = {ov->hEvent, m_hStop.Get()};
    for (;;) {
        // Done already (the usual case once input is there): no wait at all.
        if (::GetOverlappedResult(m_hPort.Get(), ov, transferred, FALSE)) return NO_ERROR;
        DWORD error = ::GetLastError();
        if (error != ERROR_IO_INCOMPLETE) return error == NO_ERROR ? ERROR_GEN_FAILURE : error;
        // The event may still be set by an earlier call that finished at once:
        // a wake without completion just waits again.
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // The stream is going: cancel what this thread started and let it end.
            ::CancelIo(m_hPort.Get());
            ::GetOverlappedResult(m_hPort.Get(), ov, transferred, TRUE);
            return ERROR_OPERATION_ABORTED;
        }
    }
}

// One read of whatever the driver holds, or, when it holds nothing, of the
// next byte within the read time-out: a packet still stalls at most one
// time-out per missing byte, but a burst costs one call instead of one per
// byte. On an idle line this read is also the event thread's wait for input
// (see RunEventLoop): the driver completes it the moment a byte arrives.
int CSerialStream::ReadBytes(void *buffer, int count) {
    m_bReadCameUpEmpty = true;
    if (count <= 0) return 0;
    DWORD want = 1, errors = 0;
    COMSTAT status = {};
    if (::ClearCommError(m_hPort.Get(), &errors, &status) && status.cbInQue > 1)
        want = status.cbInQue < static_cast<DWORD>(count) ? status.cbInQue : static_cast<DWORD>(count);
    DWORD got = 0, error = NO_ERROR;
    if (!::ReadFile(m_hPort.Get(), buffer, want, nullptr, &m_ovRead) && ::GetLastError() != ERROR_IO_PENDING)
        error = ::GetLastError();
    else
        error = FinishIo(&m_ovRead, &got);
    // A read that timed out is "no byte" whether the driver calls it
    // success with 0 bytes (Windows) or ERROR_TIMEOUT (Wine).
    m_dwReadError = error == ERROR_TIMEOUT ? NO_ERROR : error;
    if (error != NO_ERROR || got == 0) return 0;
    m_bReadCameUpEmpty = false;
    return static_cast<int>(got);
}

int CSerialStream::WriteBytes(const void *buffer, int count) {
    if (count <= 0) return 0;
    if (!::WriteFile(m_hPort.Get(), buffer, static_cast<DWORD>(count), nullptr, &m_ovWrite) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return 0;
    DWORD written = 0;
    if (FinishWrite(&written) != NO_ERROR) return 0;
    return static_cast<int>(written);
}

// A write may wait for the handheld's CTS up to the write time-out; the hub
// window's own write waits kHubGraceMs at most, and an interrupt from the hub
// ends any write at once. An ended write is cancelled and its packet lost.
DWORD CSerialStream::FinishWrite(DWORD *written) {
    *written = 0;
    HANDLE waits[3] = {m_ovWrite.hEvent, m_hStop.Get(), WriteInterruptEvent()};
    const DWORD limit = m_bHubWrite ? kHubGraceMs : INFINITE;
    const DWORD start = ::GetTickCount();
    for (;;) {
        // A write the driver took at once costs no wait.
        if (::GetOverlappedResult(m_hPort.Get(), &m_ovWrite, written, FALSE)) return NO_ERROR;
        DWORD error = ::GetLastError();
        if (error != ERROR_IO_INCOMPLETE) return error == NO_ERROR ? ERROR_GEN_FAILURE : error;
        DWORD waited = ::GetTickCount() - start;
        DWORD left = limit == INFINITE ? INFINITE : (waited >= limit ? 0 : limit - waited);
        // A wake without completion (the event left set by an earlier write
        // that finished at once) just waits again.
        if (::WaitForMultipleObjects(3, waits, FALSE, left) != WAIT_OBJECT_0) {
            ::CancelIo(m_hPort.Get());
            ::GetOverlappedResult(m_hPort.Get(), &m_ovWrite, written, TRUE);
            return ERROR_OPERATION_ABORTED;
        }
    }
}

void CSerialStream::EventThreadGate::Send(HWND hub, UINT msg, WPARAM wParam, LPARAM lParam) {
    Link *shared = link;  // copied out: this gate goes with the stream
    bool mine = shared && shared->threadId == ::GetCurrentThreadId();
    if (mine) {
        fw::Lock lock(shared->cs);
        shared->atHub = true;
    }
    ::SendMessageA(hub, msg, wParam, lParam);
    if (mine) {
        fw::Lock lock(shared->cs);
        shared->atHub = false;
    }
}

void CSerialStream::ReportForeignSignature() { CStream::ReportForeignSignature(); }

// --- Event thread. Once DispatchOne reports the stream gone, nothing of the
// stream may be touched: only the link is still ours.

DWORD WINAPI CSerialStream::EventThreadMain(void *arg) {
    fw::ReleaseUnusedStack();
    auto *link = static_cast<Link *>(arg);
    link->threadId = ::GetCurrentThreadId();
    try {
        RunEventLoop(link->stream, link);
    } catch (...) {
        // The port stays listed; without its reader it answers nothing until
        // the operator removes it. Nothing else of the hub is touched.
        fw::Trace("serial reader thread ended by a failure");
        fw::Lock lock(link->cs);
        if (!link->streamGone) link->stream->m_readerMode = ReaderMode::kEnded;
    }
    link->Release();
    return 0;
}

// Waiting: the event thread sits in the read for the next byte, which the
// driver completes the moment one arrives; a read that brings nothing (the
// idle line's time-out) costs one check that the port is still there.
// Polling: the input queue is looked at every kPollIntervalMs.
void CSerialStream::RunEventLoop(CSerialStream *stream, Link *link) {
    HANDLE port = stream->m_hPort.Get();
    ReaderMode mode = ReaderMode::kNotStarted;
    if (!stream->ChooseReader(link, &mode)) return;
    stream->m_readerMode = mode;
    int failedReads = 0;
    while (mode != ReaderMode::kEnded && !stream->m_bStopping.load()) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (mode == ReaderMode::kWaiting || stream->HasBufferedInput()) {
            if (!DispatchOne(stream, link)) return;
            if (!stream->m_bReadCameUpEmpty) {
                failedReads = 0;
                continue;
            }
            if (!::ClearCommError(port, &errors, &status)) break;  // the port has gone
            if (stream->m_dwReadError == NO_ERROR || stream->m_bStopping.load()) continue;
            // Reads that fail while the port still answers: the queue is watched instead.
            if (++failedReads >= kMaxFailedWaits) mode = stream->m_readerMode = ReaderMode::kPolling;
            continue;
        }
        if (!::ClearCommError(port, &errors, &status)) break;
        if (status.cbInQue > 0) {
            if (!DispatchOne(stream, link)) return;
            continue;
        }
        if (::WaitForSingleObject(stream->m_hStop.Get(), kPollIntervalMs) == WAIT_OBJECT_0) break;
    }
    stream->m_readerMode = ReaderMode::kEnded;
}

// Whether the driver can wait for input: a wait for received characters
// that stays pending on an idle line, or ends with one, shows it can; one
// that fails, or wakes with nothing, kMaxFailedWaits times in a row shows it
// cannot. A wait that ends at once because input is queued shows neither:
// that input is dispatched first. *mode is kEnded when the stream stops;
// false when it went away during a dispatch: touch nothing of it then.
bool CSerialStream::ChooseReader(Link *link, ReaderMode *mode) {
    fw::Handle event = NewAutoResetEvent();
    *mode = ReaderMode::kPolling;
    if (!event || !::SetCommMask(m_hPort.Get(), EV_RXCHAR)) return true;
    *mode = ReaderMode::kNotStarted;
    for (int failed = 0; *mode == ReaderMode::kNotStarted;) {
        switch (ProbeWait(event.Get())) {
        case WaitProbe::kWorks: *mode = ReaderMode::kWaiting; break;
        case WaitProbe::kStopped: *mode = ReaderMode::kEnded; break;
        case WaitProbe::kInputQueued:
            if (!DispatchOne(this, link)) return false;
            if (m_bStopping.load()) *mode = ReaderMode::kEnded;
            break;
        case WaitProbe::kFailed:
            if (++failed >= kMaxFailedWaits) *mode = ReaderMode::kPolling;
            break;
        }
    }
    // Input is learnt from reads from now on; no wait may stay behind.
    ::SetCommMask(m_hPort.Get(), 0);
    return true;
}

CSerialStream::WaitProbe CSerialStream::ProbeWait(HANDLE event) {
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD mask = 0, ignored = 0;
    if (::WaitCommEvent(m_hPort.Get(), &mask, &ov))
        return (mask & EV_RXCHAR) ? WaitProbe::kInputQueued : WaitProbe::kFailed;
    if (::GetLastError() != ERROR_IO_PENDING) return WaitProbe::kFailed;
    HANDLE waits[2] = {event, m_hStop.Get()};
    DWORD r = ::WaitForMultipleObjects(2, waits, FALSE, kWaitProbeMs);
    if (r == WAIT_OBJECT_0) {
        bool ok = ::GetOverlappedResult(m_hPort.Get(), &ov, &ignored, FALSE) && (mask & EV_RXCHAR);
        return ok ? WaitProbe::kWorks : WaitProbe::kFailed;
    }
    // Still waiting on an idle line (or the stream stops): end the wait. A
    // new mask ends a pending wait; CancelIo does not on every driver.
    ::SetCommMask(m_hPort.Get(), 0);
    ::CancelIo(m_hPort.Get());
    ::GetOverlappedResult(m_hPort.Get(), &ov, &ignored, TRUE);
    return r == WAIT_TIMEOUT ? WaitProbe::kWorks : WaitProbe::kStopped;
}

bool CSerialStream::DispatchOne(CSerialStream *stream, Link *link) {
    // A connect request goes to the hub window, which may destroy the stream
    // before it answers.
    stream->DispatchPacket();
    fw::Lock lock(link->cs);
    return !link->streamGone;
}
