// The network user stream over real loopback connections: framing across TCP
// segments, the closed report, the traffic log, and above all the hand-off
// between the reader thread and whoever destroys the stream (no deadlock, no
// report from a destroyed stream, no thread left behind).
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>
#include <new>
#include <string>
#include <vector>
#include "app/hub_messages.h"
#include "inert_stream.h"
#include "framework/app.h"
#include "framework/async_socket.h"
#include "framework/trace.h"
#include "loopback_client.h"
#include "process_counters.h"
#include "stream/global_packet.h"
#include "stream/packet.h"
#include "stream/socket_stream.h"
#include "test_files.h"
#include "test_hub.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stands in for the hub window: records the hand-overs and, like the hub,
// destroys a stream that reports itself closed.
class StandInHub {
public:
    struct Message {
        UINT msg;
        WPARAM wParam;
        Bytes packet;
    };

    StandInHub() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "NorvaneSocketTestHub";
        ::RegisterClassA(&wc);
        m_hWnd = ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
        fw::SetMainWindowHandle(m_hWnd);
    }
    ~StandInHub() {
        fw::SetMainWindowHandle(nullptr);
        ::DestroyWindow(m_hWnd);
    }
    int Count(UINT msg) const {
        int n = 0;
        for (const Message &m : messages)
            if (m.msg == msg) ++n;
        return n;
    }

    std::vector<Message> messages;
    std::function<void(WPARAM)> onClosed;   // the hub destroys the connection here
    std::function<void(WPARAM)> onConnect;  // the router may destroy the stream here

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE)
            ::SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
        auto *self = reinterpret_cast<StandInHub *>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self && (msg == WM_STREAM_CLOSED || msg == WM_STREAM_CONNECT || msg == WM_STREAM_FOREIGN)) {
            Message m{msg, wParam, {}};
            if (msg == WM_STREAM_CONNECT) {
                const auto *p = reinterpret_cast<const uint8_t *>(lParam);
                m.packet.assign(p, p + PacketSize(p));
            }
            self->messages.push_back(m);
            if (msg == WM_STREAM_CLOSED && self->onClosed) self->onClosed(wParam);
            if (msg == WM_STREAM_CONNECT && self->onConnect) self->onConnect(wParam);
            return 0;
        }
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    HWND m_hWnd = nullptr;
};

class TestListener : public fw::AsyncSocket {
public:
    int pending = 0;

protected:
    void OnAccept(int) override { ++pending; }
};

// A peer that keeps copies of what is forwarded to it.
class RecordingPeer : public CInertStream {
public:
    int WritePacket(const uint8_t *packet, uint32_t) override {
        fw::Lock lock(m_csWrite);
        packets.emplace_back(packet, packet + PacketSize(packet));
        return static_cast<int>(PacketSize(packet));
    }
    std::vector<Bytes> Packets() {
        fw::Lock lock(m_csWrite);
        return packets;
    }

private:
    std::vector<Bytes> packets;
};

// Reaches the protected socket to check its options.
class InspectableSocketStream : public CSocketStream {
public:
    using CSocketStream::CSocketStream;
    SOCKET Socket() const { return m_hSocket; }
};

int CountOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

Bytes Cat(const Bytes &a, const Bytes &b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

class SocketStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.Create(0));
        ASSERT_TRUE(listener.Listen(5));
        user.id = 100;
        baselineThreads = ProcessThreadCount();
        hub.onClosed = [this](WPARAM) { DestroyStream(); };
    }
    void TearDown() override {
        DestroyStream();
        if (!logPath.empty()) ::DeleteFileA(logPath.c_str());
        EXPECT_TRUE(ReaderGone()) << "a reader thread was left behind";
    }

    // A client connects and the stream takes the connection, as the hub's
    // accept handler does.
    void Connect(BOOL logging = FALSE) {
        client.reset(new LoopbackClient(listener.LocalPort()));
        ASSERT_TRUE(client->Connected());
        ASSERT_TRUE(PumpUntil([this] { return listener.pending > 0; }, 3000));
        --listener.pending;
        stream = new InspectableSocketStream(&listener, &user, logging);
        stream->Open();
        if (logging) logPath = std::string(fw::GetModuleDir()) + "Socket127.0.0.1-" +
                               std::to_string(client->LocalPort()) + ".txt";
    }
    void DestroyStream() {
        delete stream;
        stream = nullptr;
    }
    bool ReaderGone() {
        return PumpUntil([this] { return ProcessThreadCount() <= baselineThreads; }, 5000);
    }
    bool ClosedReported() {
        return PumpUntil([this] { return hub.Count(WM_STREAM_CLOSED) > 0; }, 5000);
    }
    // Until the reader waits in a SendMessage to this thread's window.
    static bool SentMessagePending(DWORD timeoutMs) {
        DWORD start = ::GetTickCount();
        while (!(HIWORD(::GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE)) {
            if (::GetTickCount() - start > timeoutMs) return false;
            ::Sleep(2);
        }
        return true;
    }

    WinsockSession winsock;
    StandInHub hub;
    TestListener listener;
    UserInfo user = {};
    std::unique_ptr<LoopbackClient> client;
    InspectableSocketStream *stream = nullptr;
    std::string logPath;
    int baselineThreads = 0;
};

}  // namespace

TEST_F(SocketStreamTest, AnswersEchoAndIsNamedByThePeerAddress) {
    Connect(TRUE);
    EXPECT_EQ(stream->GetDescription(), "127.0.0.1");
    ASSERT_TRUE(client->Send({5, 0, 0, 6, 0, 0, 5, 0, 0}));
    EXPECT_EQ(client->Receive(6, 3000), Bytes({5, 0, 0, 5, 0, 0}));
    EXPECT_EQ(::GetFileAttributesA(logPath.c_str()) != INVALID_FILE_ATTRIBUTES, true) << logPath;

    BOOL option = FALSE;
    int length = sizeof option;
    ASSERT_EQ(::getsockopt(stream->Socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&option), &length), 0);
    EXPECT_TRUE(option);
    option = FALSE;
    length = sizeof option;
    ASSERT_EQ(::getsockopt(stream->Socket(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&option), &length), 0);
    EXPECT_TRUE(option);
}

TEST_F(SocketStreamTest, BytesThatArrivedBeforeTheAcceptAreRead) {
    // A handheld sends its request at once; it lies in the socket before the
    // stream selects its events, so no new edge will announce it.
    client.reset(new LoopbackClient(listener.LocalPort()));
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(client->Send({5, 0, 0}));
    ::Sleep(200);
    ASSERT_TRUE(PumpUntil([this] { return listener.pending > 0; }, 3000));
    --listener.pending;
    stream = new InspectableSocketStream(&listener, &user, FALSE);
    stream->Open();
    EXPECT_EQ(client->Receive(3, 3000), Bytes({5, 0, 0}));
    client.reset();
    EXPECT_TRUE(ClosedReported());
}

TEST_F(SocketStreamTest, PeerClosingBetweenPacketsIsReportedOnceWithoutNoise) {
    Connect(TRUE);
    ASSERT_TRUE(client->Send({5, 0, 0}));
    ASSERT_EQ(client->Receive(3, 3000).size(), 3u);
    client->Close();
    ASSERT_TRUE(ClosedReported());
    PumpFor(200);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
    EXPECT_EQ(hub.messages.back().wParam, reinterpret_cast<WPARAM>(&user));
    EXPECT_EQ(stream, nullptr);  // the stand-in hub destroyed it inside the report
    EXPECT_EQ(CountOf(ReadWholeFile(logPath), "NOISE"), 0);
}

TEST_F(SocketStreamTest, PeerClosingMidPayloadLogsOneNoiseEntryThenReportsClosed) {
    Connect(TRUE);
    std::string logAtReport;
    hub.onClosed = [this, &logAtReport](WPARAM) {
        logAtReport = ReadWholeFile(logPath);
        DestroyStream();
    };
    ASSERT_TRUE(client->Send({0x20, 5, 0, 'A', 'B'}));
    PumpFor(100);
    client->Close();
    ASSERT_TRUE(ClosedReported());
    PumpFor(200);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
    EXPECT_EQ(CountOf(logAtReport, "NOISE"), 1) << logAtReport;
    EXPECT_NE(logAtReport.find("20 05 00 41 42"), std::string::npos) << logAtReport;
}

TEST_F(SocketStreamTest, ResetByPeerIsReportedClosed) {
    Connect();
    client->Reset();
    ASSERT_TRUE(ClosedReported());
    PumpFor(100);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
}

TEST_F(SocketStreamTest, PayloadSplitOverSegmentsWithPausesFormsOnePacket) {
    Connect();
    RecordingPeer peer;
    stream->SetPeer(&peer);
    Bytes payload(3000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    Bytes packet = EncodePacket(0x21, payload.data(), payload.size());
    const size_t cuts[] = {0, 1, 3, 700, 2000, packet.size()};
    for (size_t i = 0; i + 1 < sizeof cuts / sizeof cuts[0]; ++i) {
        ASSERT_TRUE(client->Send(Bytes(packet.begin() + cuts[i], packet.begin() + cuts[i + 1])));
        PumpFor(80);
    }
    ASSERT_TRUE(PumpUntil([&] { return !peer.Packets().empty(); }, 3000));
    PumpFor(100);
    ASSERT_EQ(peer.Packets().size(), 1u);
    EXPECT_EQ(peer.Packets()[0], packet);
    DestroyStream();  // before the peer goes
}

TEST_F(SocketStreamTest, DestroyedWhileItsReaderWaitsEndsTheThreadWithoutReport) {
    Connect();
    PumpFor(100);  // the reader is waiting for input
    DestroyStream();
    EXPECT_TRUE(ReaderGone());
    EXPECT_TRUE(client->WaitClosedByHub(3000));
    PumpFor(100);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 0);
}

TEST_F(SocketStreamTest, DestroyedWhileItsReaderWaitsInsideAPacket) {
    Connect(TRUE);
    ASSERT_TRUE(client->Send({0x20, 10, 0, 'x'}));
    PumpFor(150);  // the reader waits for the rest of the payload
    DestroyStream();
    EXPECT_TRUE(ReaderGone());
    PumpFor(100);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 0);
}

TEST_F(SocketStreamTest, DestroyedInsideTheConnectHandOver) {
    Connect();
    hub.onConnect = [this](WPARAM) { DestroyStream(); };
    ASSERT_TRUE(client->Send({2, 3, 0, 'a', 0, 'b'}));
    ASSERT_TRUE(PumpUntil([this] { return hub.Count(WM_STREAM_CONNECT) == 1; }, 3000));
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(hub.messages[0].packet, Bytes({2, 3, 0, 'a', 0, 'b'}));
    EXPECT_TRUE(ReaderGone());
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 0);
}

// The reader is blocked in SendMessage to this thread, which destroys the
// stream before it lets the message in: the destructor must not wait for the
// reader, and the reader must not come back into the stream.
class SocketStreamHandOverTest : public SocketStreamTest, public ::testing::WithParamInterface<UINT> {};

TEST_P(SocketStreamHandOverTest, DestroyedWhileTheReaderWaitsForTheHub) {
    const UINT message = GetParam();
    Connect(TRUE);
    PumpFor(100);
    hub.onClosed = nullptr;
    if (message == WM_STREAM_CONNECT) ASSERT_TRUE(client->Send({2, 1, 0, 0}));
    if (message == WM_STREAM_FOREIGN) ASSERT_TRUE(client->Send({0, 0xE0, 0}));
    if (message == WM_STREAM_CLOSED) client->Close();
    ASSERT_TRUE(SentMessagePending(3000));
    DWORD start = ::GetTickCount();
    DestroyStream();
    EXPECT_LT(::GetTickCount() - start, 1000u);
    PumpFor(100);  // now the reader's message gets in, and the reader ends
    EXPECT_EQ(hub.Count(message), 1);
    EXPECT_TRUE(ReaderGone());
    if (message != WM_STREAM_CLOSED) EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 0);
}

INSTANTIATE_TEST_SUITE_P(Messages, SocketStreamHandOverTest,
                         ::testing::Values(WM_STREAM_CONNECT, WM_STREAM_FOREIGN, WM_STREAM_CLOSED));

TEST_F(SocketStreamTest, DestroyedAtAnyMomentOfBusyTraffic) {
    // Echo traffic keeps the reader moving through every place: waiting,
    // framing, writing the answer. Destruction must land safely in each.
    for (int round = 0; round < 60; ++round) {
        Connect(round % 2 ? TRUE : FALSE);
        Bytes burst;
        for (int i = 0; i < 200; ++i) burst = Cat(burst, {5, 0, 0});
        client->Send(burst);
        ::Sleep(static_cast<DWORD>(round % 7));
        DestroyStream();
        client.reset();
        if (!logPath.empty()) ::DeleteFileA(logPath.c_str());
        logPath.clear();
    }
    EXPECT_TRUE(ReaderGone());
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 0);
}

TEST_F(SocketStreamTest, FailedAcceptReportsTheLinkClosedAtOnce) {
    // Nothing pending: the accept inside the constructor fails.
    stream = new InspectableSocketStream(&listener, &user, FALSE);
    stream->Open();
    EXPECT_EQ(stream->GetDescription(), "None");
    ASSERT_TRUE(ClosedReported());
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
}

TEST_F(SocketStreamTest, NeverOpenedStreamEndsItsReaderWhenDestroyed) {
    client.reset(new LoopbackClient(listener.LocalPort()));
    ASSERT_TRUE(PumpUntil([this] { return listener.pending > 0; }, 3000));
    stream = new InspectableSocketStream(&listener, &user, FALSE);
    ASSERT_TRUE(client->Send({5, 0, 0}));
    PumpFor(100);
    EXPECT_TRUE(client->Receive(3, 200).empty());  // no reading before Open
    DestroyStream();
    EXPECT_TRUE(ReaderGone());
}

TEST_F(SocketStreamTest, HandheldThatStopsReadingIsCutOffInsteadOfHangingTheWriter) {
    Connect();
    int receiveBuffer = 4096;
    ::setsockopt(client->Handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&receiveBuffer),
                 sizeof receiveBuffer);
    Bytes payload(256 * 1024, 0x55);
    Bytes packet = EncodePacket(0x22, payload.data(), payload.size());
    DWORD start = ::GetTickCount();
    bool shortWrite = false;
    for (int i = 0; i < 200 && !shortWrite; ++i)
        shortWrite = stream->WritePacket(packet.data(), 100) < static_cast<int>(packet.size());
    DWORD took = ::GetTickCount() - start;
    ASSERT_TRUE(shortWrite);
    EXPECT_LT(took, CSocketStream::kWriteStallMs + 5000);
    ASSERT_TRUE(ClosedReported());
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
}

// A burst of packets in one segment is answered whole: the packets read
// along with the first are framed from the buffer without waiting for input.
TEST_F(SocketStreamTest, EveryPacketOfOneSegmentIsDispatched) {
    Connect();
    Bytes burst;
    for (int i = 0; i < 50; ++i) burst = Cat(burst, {5, 0, 0});
    ASSERT_TRUE(client->Send(burst));
    EXPECT_EQ(client->Receive(burst.size(), 3000), burst);
}

// A header that claims 16 MiB buys no memory: the buffer grows only with the
// payload that actually arrives, and the packet still arrives whole.
TEST_F(SocketStreamTest, ClaimedLengthTakesNoMemoryUntilThePayloadArrives) {
    Connect();
    RecordingPeer peer;
    stream->SetPeer(&peer);
    const uint32_t len = kMaxPacketPayload;
    Bytes payload(len);
    for (size_t i = 0; i < payload.size(); i += 4096) payload[i] = static_cast<uint8_t>(i >> 12);
    Bytes packet = EncodePacket(0x22, payload.data(), payload.size());
    size_t budgetBefore = HubPacketBudget().InUse();
    ASSERT_TRUE(client->Send(Bytes(packet.begin(), packet.begin() + 7)));
    PumpFor(300);
    EXPECT_LE(HubPacketBudget().InUse() - budgetBefore, 7 + PacketFramer::kFirstPayloadChunk);
    ASSERT_TRUE(client->Send(Bytes(packet.begin() + 7, packet.end())));
    ASSERT_TRUE(PumpUntil([&] { return !peer.Packets().empty(); }, 20000));
    EXPECT_TRUE(peer.Packets()[0] == packet);
    DestroyStream();  // before the peer goes
    EXPECT_EQ(HubPacketBudget().InUse(), budgetBefore);
}

// Large packets back to back, then small ones, in one send: the reads that
// take a large payload straight into its packet, the buffer that grows for
// such a link and the reads that follow a full one at once keep every packet
// whole and in order, and the link goes on to wait for more as before.
TEST_F(SocketStreamTest, LargePacketsBackToBackArriveWholeAndInOrder) {
    Connect();
    RecordingPeer peer;
    stream->SetPeer(&peer);
    std::vector<Bytes> sent;
    Bytes wire;
    for (int i = 0; i < 6; ++i) {
        Bytes payload(i < 4 ? 61440 + i : 1 + i);
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(k * 13 + i);
        sent.push_back(EncodePacket(static_cast<uint8_t>(0x20 + i), payload.data(), payload.size()));
        wire = Cat(wire, sent.back());
    }
    ASSERT_TRUE(client->Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return peer.Packets().size() >= sent.size(); }, 10000));
    EXPECT_TRUE(peer.Packets() == sent);
    Bytes echo = {5, 0, 0};
    ASSERT_TRUE(client->Send(echo));
    EXPECT_EQ(client->Receive(echo.size(), 3000), echo);
    DestroyStream();  // before the peer goes
}

// When the hub's packet budget cannot take a link's next bytes, that link
// alone ends; the budget is whole again afterwards.
TEST_F(SocketStreamTest, LinkWhoseBytesWouldCrossTheBudgetIsEnded) {
    PacketBudget &budget = HubPacketBudget();
    size_t held = budget.Limit() - budget.InUse() - 20000;
    ASSERT_TRUE(budget.Take(held));  // as if the other links held nearly all of it
    Connect();
    Bytes payload(30000, 0x33);
    ASSERT_TRUE(client->Send(EncodePacket(0x22, payload.data(), payload.size())));
    bool closed = ClosedReported();
    budget.Give(held);
    ASSERT_TRUE(closed);
    EXPECT_EQ(hub.Count(WM_STREAM_CLOSED), 1);
    EXPECT_TRUE(client->WaitClosedByHub(3000));
    EXPECT_EQ(budget.InUse(), 0u);
}

namespace {
// Fails while forwarding, as an allocation under memory pressure would.
class FailingSocketStream final : public CSocketStream {
public:
    using CSocketStream::CSocketStream;
    ~FailingSocketStream() override { StopReader(); }
    void ForwardPacket(const uint8_t *, uint32_t) override { throw std::bad_alloc(); }
};
}  // namespace

// A failure inside the reader thread ends that link alone, with a trace line.
TEST_F(SocketStreamTest, FailureInTheReaderEndsOnlyItsLinkWithATrace) {
    client.reset(new LoopbackClient(listener.LocalPort()));
    ASSERT_TRUE(PumpUntil([this] { return listener.pending > 0; }, 3000));
    --listener.pending;
    CSocketStream *failing = new FailingSocketStream(&listener, &user, FALSE);
    failing->Open();
    hub.onClosed = [&failing](WPARAM) {
        delete failing;
        failing = nullptr;
    };
    long traces = fw::TraceCount();
    ASSERT_TRUE(client->Send({0x30, 1, 0, 'x'}));
    ASSERT_TRUE(ClosedReported());
    EXPECT_EQ(failing, nullptr);
    EXPECT_GT(fw::TraceCount(), traces);
    EXPECT_NE(fw::LastTrace().find("reader thread failed"), std::string::npos) << fw::LastTrace();
    EXPECT_TRUE(client->WaitClosedByHub(3000));
}

// A reply thread is stuck writing into a handheld that stopped reading; the
// hub window's own write into that handheld gives up after a short grace
// (ending the link) instead of waiting behind it.
TEST_F(SocketStreamTest, HubWindowsWriteDoesNotWaitBehindAStuckWriter) {
    Connect();
    int receiveBuffer = 4096;
    ::setsockopt(client->Handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&receiveBuffer),
                 sizeof receiveBuffer);
    Bytes payload(kMaxPacketPayload, 0x55);  // more than every socket buffer holds
    Bytes big = EncodePacket(0x22, payload.data(), payload.size());
    CSocketStream *s = stream;
    std::atomic<bool> writing{false};
    std::thread writer([&] {
        writing = true;
        s->WritePacket(big.data(), 100);
    });
    while (!writing) ::Sleep(1);
    ::Sleep(300);  // the writer holds the stream and waits for the handheld
    const uint8_t accepted[3] = {3, 0, 0};
    DWORD start = ::GetTickCount();
    stream->WritePacket(accepted, 100);  // from the hub window's thread
    DWORD took = ::GetTickCount() - start;
    writer.join();
    EXPECT_LT(took, 1500u);
    EXPECT_TRUE(ClosedReported());
}
