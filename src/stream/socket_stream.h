// CSocketStream: the stream of a handheld that reached the hub over TCP.
//
// One reader thread per stream waits for input and dispatches packets; the
// hub window's thread destroys the stream whenever it likes (the handheld
// left, the operator removed it, the router replaced it, shutdown). Those two
// must never wait on each other in a way that can deadlock, and the reader
// must never touch a stream that is gone. What they share therefore lives in
// a separate reader cell that outlives the stream; its protocol is written
// down in socket_stream.cpp next to the cell. In short:
//   - the reader says under the cell's lock where it is: idle (waiting for
//     input, touching only the cell), in the stream, or at the hub (inside a
//     SendMessage to the hub window, touching nothing of the stream);
//   - the destructor sets the stop mark and wakes the reader; it waits only
//     while the reader is in the stream, which never blocks on the hub window;
//   - after every hand-over to the hub the reader re-enters the stream only
//     if the stop mark is still clear.
// The socket is closed by whichever of stream and reader lets go last, so the
// reader never waits on a handle that may already belong to another socket.
#pragma once
#include <winsock2.h>
#include "stream/stream.h"

namespace fw {
class AsyncSocket;
}
class SocketReaderCell;

class CSocketStream : public CStream {
public:
    // Accepts the connection pending on `listener` and starts the reader
    // thread, which begins to read when Open is called. A failed accept
    // leaves a stream whose reader reports the link closed at once.
    CSocketStream(fw::AsyncSocket *listener, UserInfo *pUserInfo, BOOL logging);
    ~CSocketStream() override;

    int ReadBytes(void *buffer, int count) override;
    int WriteBytes(const void *buffer, int count) override;
    void SetReadTimeout(DWORD) override {}
    void SetWriteTimeout(DWORD) override {}
    void SetBaudRate(DWORD) override {}
    void SetCtsFlowControl(BOOL) override {}
    void AddUser(UserInfo *, CStream *) override {}
    void RemoveUser(UserInfo *) override {}
    // Description and log name from the peer's address, the log, then the
    // reader may start. Always 1.
    int Open() override;
    // False when the reader thread could not be created: nobody would ever
    // read the link or notice its end, so the owner closes it at once.
    bool HasReader() const;
    // A handle to the reader thread that the caller closes, or null: for an
    // owner that must know the reader has ended (before the sockets library
    // goes). The reader may be in a SendMessage to the caller's thread.
    HANDLE DuplicateReaderHandle() const;

    // A write that makes no progress for this long gives up and ends the
    // link: the handheld is not reading, and the hub must not hang on it.
    static const DWORD kWriteStallMs = 10000;
    // One read takes up to this much, a 60 KB packet in one piece, once the
    // link has shown that it carries that much (a read filled the smaller
    // buffer every link starts with).
    static const size_t kReadBufferBytes = 64 * 1024;
    // Keep-alive: a handheld that vanished is noticed within about a minute.
    static const ULONG kKeepAliveIdleMs = 5000;
    static const ULONG kKeepAliveIntervalMs = 5000;

protected:
    // SendMessage to the hub window from the reader thread, marked as away
    // from the stream for the duration. Returns false when the stream was
    // destroyed meanwhile: the caller must then not touch it again.
    bool SendToHub(UINT msg, WPARAM wParam, LPARAM lParam);
    // Stops the reader: after this it touches nothing of the stream. A
    // derived stream calls it first in its destructor, before its own members
    // go, since the reader calls its virtual operations. Safe to repeat.
    void StopReader();

    const SOCKET m_hSocket;          // fixed at construction; closed when both stream and reader are done
    BOOL m_bClosed;                  // reader thread only: the peer closed, reset or vanished
    SocketReaderCell *m_pStopFlag;   // shared with the reader thread; see socket_stream.cpp

private:
    // Hand-overs of the base (connect request, foreign traffic) go through
    // SendToHub, so the reader counts as away from the stream meanwhile.
    struct ReaderGate final : CHubGate {
        explicit ReaderGate(CSocketStream *s) : stream(s) {}
        void Send(HWND, UINT msg, WPARAM wParam, LPARAM lParam) override { stream->SendToHub(msg, wParam, lParam); }
        CSocketStream *const stream;
    };
    ReaderGate m_gate{this};

    friend class SocketReaderCell;
    static DWORD WINAPI ReaderMain(void *cell);
    static void RunReader(SocketReaderCell *cell);
    void ConfigureSocket();
    bool WaitWritable(DWORD lastProgress);
    void ReportClosed();
};
