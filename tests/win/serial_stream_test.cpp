// CSerialStream on pseudo-terminal pairs linked as COM ports: what a handheld
// on the other end sees, and how the stream ends while its event thread is
// busy, idle or blocked in a connect request. Run by
// tests/system/serial_ports_test.py, once on plain ptys (the event thread
// polls) and once with modem lines answered (it waits for characters).
// NORVANE_TEST_RUN_BY_SYSTEM_TEST: no CTest entry of its own.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <windows.h>
#include "memory_stream.h"
#include "recording_window.h"
#include "serial_handheld.h"
#include "test_files.h"
#include "test_hub.h"
#include "app/hub_messages.h"
#include "framework/app.h"
#include "framework/message_box.h"
#include "routing/connect_request.h"
#include "stream/packet.h"
#include "stream/serial_stream.h"
#include "stream/traffic_log_format.h"

namespace {

const int kPortWithoutDevice = 98;

// A timer destroys the stream from inside a message box's loop, then closes
// the box.
CSerialStream **s_victim = nullptr;
void CALLBACK DestroyVictim(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    delete *s_victim;
    *s_victim = nullptr;
    if (HWND box = ::FindWindowA("#32770", fw::AppTitle().c_str())) ::PostMessageA(box, WM_COMMAND, IDOK, 0);
}

SerialBytes Packet(uint8_t command, const SerialBytes &payload = {}) {
    return EncodePacket(command, payload.data(), payload.size());
}

SerialBytes ConnectRequest(const char *plugin) {
    std::vector<uint8_t> payload = EncodeConnectPayload("RUID-serial", plugin, "Tester", 1);
    return Packet(NV_CMD_CONNECT_REQUEST, payload);
}

class SerialStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<SerialPair> pairs = SerialPairs();
        if (pairs.empty()) GTEST_SKIP() << "needs pty pairs from tests/system/serial_ports_test.py";
        m_pair = pairs.front();
        m_user.id = static_cast<uint32_t>(m_pair.hubPort);
        m_handheld.reset(new SerialHandheld(m_pair.handheldPort));
        ASSERT_TRUE(m_handheld->IsOpen());
    }
    void TearDown() override { delete m_stream; }

    CSerialStream *OpenStream(BOOL logging = FALSE) {
        m_stream = new CSerialStream(&m_user, m_pair.hubPort, logging);
        EXPECT_EQ(1, m_stream->Open());
        // The greeting, so later reads start clean.
        EXPECT_EQ(Packet(NV_CMD_HUB_BEACON), m_handheld->Receive(3, 2000));
        return m_stream;
    }
    // Destroys the stream and reports how long that took.
    DWORD DestroyStream() {
        DWORD start = ::GetTickCount();
        delete m_stream;
        m_stream = nullptr;
        return ::GetTickCount() - start;
    }

    SerialPair m_pair{};
    char m_userName[8] = "None";
    UserInfo m_user{0, m_userName, 0, 0};
    RecordingHubWindow m_hub;
    std::unique_ptr<SerialHandheld> m_handheld;
    CSerialStream *m_stream = nullptr;
};

TEST_F(SerialStreamTest, OpenConfiguresThePortGreetsAndNamesIt) {
    CSerialStream *stream = OpenStream();
    char description[16];
    snprintf(description, sizeof description, "COM%d", m_pair.hubPort);
    EXPECT_EQ(description, stream->GetDescription());
    EXPECT_EQ(m_pair.hubPort, stream->GetPortNumber());

    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(::GetCommState(stream->GetPortHandle(), &dcb));
    EXPECT_EQ(57600u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(static_cast<unsigned>(RTS_CONTROL_ENABLE), dcb.fRtsControl);
    COMMTIMEOUTS t;
    ASSERT_TRUE(::GetCommTimeouts(stream->GetPortHandle(), &t));
    EXPECT_EQ(0u, t.ReadIntervalTimeout);
    EXPECT_EQ(1000u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(30000u, t.WriteTotalTimeoutConstant);
}

TEST_F(SerialStreamTest, EventThreadUsesTheReaderTheDriverAllows) {
    CSerialStream *stream = OpenStream();
    // Echo proves the thread reads; the mode shows which way it learns of input.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
        ASSERT_EQ(Packet(NV_CMD_ECHO), m_handheld->Receive(3, 2000)) << "round " << i;
    }
    std::string expected = ExpectedSerialReader();
    if (expected == "waiting") EXPECT_EQ(CSerialStream::ReaderMode::kWaiting, stream->GetReaderMode());
    if (expected == "polling") EXPECT_EQ(CSerialStream::ReaderMode::kPolling, stream->GetReaderMode());
}

TEST_F(SerialStreamTest, PortWithoutDeviceFailsWithoutAThread) {
    CSerialStream stream(&m_user, kPortWithoutDevice, FALSE);
    EXPECT_EQ(0, stream.Open());
    EXPECT_EQ(CSerialStream::ReaderMode::kNotStarted, stream.GetReaderMode());
}

TEST_F(SerialStreamTest, TimeoutSettingsFollowTheMapping) {
    CSerialStream *stream = OpenStream();
    COMMTIMEOUTS t;
    stream->SetReadTimeout(0);
    ASSERT_TRUE(::GetCommTimeouts(stream->GetPortHandle(), &t));
    EXPECT_EQ(MAXDWORD, t.ReadIntervalTimeout);
    EXPECT_EQ(0u, t.ReadTotalTimeoutConstant);
    stream->SetReadTimeout(static_cast<DWORD>(-1));
    stream->SetWriteTimeout(0);
    ASSERT_TRUE(::GetCommTimeouts(stream->GetPortHandle(), &t));
    EXPECT_EQ(0u, t.ReadIntervalTimeout);
    EXPECT_EQ(0u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(1u, t.WriteTotalTimeoutConstant);
    stream->SetWriteTimeout(static_cast<DWORD>(-1));
    stream->SetReadTimeout(250);
    ASSERT_TRUE(::GetCommTimeouts(stream->GetPortHandle(), &t));
    EXPECT_EQ(250u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, t.WriteTotalTimeoutConstant);
}

TEST_F(SerialStreamTest, PacketsReachThePeerAndStalledPayloadIsDropped) {
    CSerialStream *stream = OpenStream();
    CMemoryStream peer;
    stream->SetPeer(&peer);
    SerialBytes data = Packet(0x20, {1, 2, 3, 4, 5});
    ASSERT_TRUE(m_handheld->Send(data));
    ASSERT_TRUE(PumpUntil([&] { return peer.Written() == data; }, 2000));

    // Two of five payload bytes, then silence for longer than a byte's time-out.
    ASSERT_TRUE(m_handheld->Send({0x21, 5, 0, 9, 9}));
    PumpFor(1600);
    SerialBytes next = Packet(0x22, {7});
    ASSERT_TRUE(m_handheld->Send(next));
    SerialBytes expected = data;
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_TRUE(PumpUntil([&] { return peer.Written() == expected; }, 2000));
    PumpFor(100);
    EXPECT_EQ(expected, peer.Written());
    stream->SetPeer(nullptr);
    delete m_stream;
    m_stream = nullptr;
}

// The event thread waits for input inside its read (or polls): an idle line
// costs one read time-out after another, none of them a failure, beacons
// written meanwhile do not disturb it, and the first byte after a long
// silence is taken at once.
TEST_F(SerialStreamTest, IdleTimeOutsKeepTheReaderAndInputAfterThemIsAnswered) {
    CSerialStream *stream = OpenStream();
    ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
    ASSERT_EQ(Packet(NV_CMD_ECHO), m_handheld->Receive(3, 2000));
    // Decided once the driver has shown whether it can wait.
    ASSERT_TRUE(PumpUntil([&] { return stream->GetReaderMode() != CSerialStream::ReaderMode::kNotStarted; }, 2000));
    CSerialStream::ReaderMode mode = stream->GetReaderMode();
    // Read time-outs with nothing on the line, and the hub window's beacons
    // (line settings changed, bytes written) while the reader waits.
    for (int i = 0; i < 3; ++i) {
        PumpFor(1100);
        stream->SendBeacon();
        ASSERT_EQ(Packet(NV_CMD_HUB_BEACON), m_handheld->Receive(3, 2000));
    }
    EXPECT_EQ(mode, stream->GetReaderMode());
    for (int i = 0; i < 5; ++i) {
        DWORD start = ::GetTickCount();
        ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
        ASSERT_EQ(Packet(NV_CMD_ECHO), m_handheld->Receive(3, 2000)) << "round " << i;
        EXPECT_LT(::GetTickCount() - start, 900u) << "an answer waited for a read time-out";
        PumpFor(150);
    }
    EXPECT_EQ(mode, stream->GetReaderMode());
}

// A payload that stops is one noise entry with every byte that came, however
// many reads brought them; an idle line before it logs nothing.
TEST_F(SerialStreamTest, StalledPayloadIsOneNoiseEntryInTheLog) {
    char name[32];
    snprintf(name, sizeof name, "SerialPort%d.txt", m_pair.hubPort);
    const std::string path = std::string(fw::GetModuleDir()) + name;
    CSerialStream *stream = OpenStream(TRUE);
    CMemoryStream peer;
    stream->SetPeer(&peer);
    PumpFor(1200);  // an idle read time-out
    ASSERT_TRUE(m_handheld->Send({0x21, 5, 0, 9}));
    PumpFor(300);  // within a byte's time-out
    ASSERT_TRUE(m_handheld->Send({8}));
    PumpFor(1600);  // past it
    SerialBytes next = Packet(0x22, {7});
    ASSERT_TRUE(m_handheld->Send(next));
    ASSERT_TRUE(PumpUntil([&] { return peer.Written() == next; }, 2000));
    stream->SetPeer(nullptr);
    delete m_stream;
    m_stream = nullptr;

    const uint8_t beacon[] = {NV_CMD_HUB_BEACON, 0, 0};
    const uint8_t cut[] = {0x21, 5, 0, 9, 8};
    std::string expected = TrafficLogHeader();
    AppendPacketEntry(expected, beacon, sizeof beacon, LogDirection::Written);
    AppendNoiseEntry(expected, cut, sizeof cut);
    AppendPacketEntry(expected, next.data(), next.size(), LogDirection::Read);
    EXPECT_EQ(expected, ReadWholeFile(path));
    ::DeleteFileA(path.c_str());
}

TEST_F(SerialStreamTest, ForeignSignatureReachesTheHubWindow) {
    CSerialStream *stream = OpenStream();
    ASSERT_TRUE(m_handheld->Send({0x00, 0xE0, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return !m_hub.Messages().empty(); }, 2000));
    EXPECT_EQ(static_cast<UINT>(WM_STREAM_FOREIGN), m_hub.Messages()[0].message);
    EXPECT_EQ(reinterpret_cast<WPARAM>(static_cast<CStream *>(stream)), m_hub.Messages()[0].wParam);
    // The stream goes on: the next packet is read normally.
    ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
    EXPECT_EQ(Packet(NV_CMD_ECHO), m_handheld->Receive(3, 2000));
}

TEST_F(SerialStreamTest, ConnectRequestSwitchesCtsOnAndBeaconSwitchesItOff) {
    CSerialStream *stream = OpenStream();
    SerialBytes request = ConnectRequest("Echo");
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    m_hub.onConnect = [&](WPARAM) {
        ::GetCommState(stream->GetPortHandle(), &dcb);
    };
    ASSERT_TRUE(m_handheld->Send(request));
    ASSERT_TRUE(PumpUntil([&] { return !m_hub.Messages().empty(); }, 2000));
    EXPECT_EQ(static_cast<UINT>(WM_STREAM_CONNECT), m_hub.Messages()[0].message);
    EXPECT_EQ(reinterpret_cast<WPARAM>(&m_user), m_hub.Messages()[0].wParam);
    EXPECT_EQ(request, m_hub.Messages()[0].packet);
    EXPECT_EQ(1u, dcb.fOutxCtsFlow);

    stream->SendBeacon();
    EXPECT_EQ(Packet(NV_CMD_HUB_BEACON), m_handheld->Receive(3, 2000));
    ASSERT_TRUE(::GetCommState(stream->GetPortHandle(), &dcb));
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
}

// --- Ending the stream

TEST_F(SerialStreamTest, DestroyingAnIdleOrMidPacketStreamIsPrompt) {
    OpenStream();
    PumpFor(50);
    EXPECT_LT(DestroyStream(), 500u);

    OpenStream();
    // Half a packet: the event thread sits in a read with a one-second time-out.
    ASSERT_TRUE(m_handheld->Send({0x20, 9, 0, 1}));
    PumpFor(100);
    EXPECT_LT(DestroyStream(), 500u);
}

TEST_F(SerialStreamTest, DestroyingWhileAConnectRequestIsQueuedHandlesIt) {
    OpenStream();
    ASSERT_TRUE(m_handheld->Send(ConnectRequest("Echo")));
    // Not pumping: the event thread blocks in SendMessage to this thread.
    ::Sleep(300);
    ASSERT_TRUE(m_hub.Messages().empty());
    EXPECT_LT(DestroyStream(), 2000u);
    ASSERT_EQ(1u, m_hub.Messages().size());
    EXPECT_EQ(static_cast<UINT>(WM_STREAM_CONNECT), m_hub.Messages()[0].message);
}

TEST_F(SerialStreamTest, DestroyedInsideItsOwnConnectRequestWithABoxOpen) {
    // As when the router's plug-in fails to load: a message box inside the
    // connect request, and the connection removed while it is open.
    OpenStream();
    s_victim = &m_stream;
    bool handled = false;
    m_hub.onConnect = [&](WPARAM) {
        UINT_PTR timer = ::SetTimer(nullptr, 0, 100, DestroyVictim);
        fw::AppMessageBox("The plug-in could not be loaded.", MB_OK);
        ::KillTimer(nullptr, timer);
        handled = true;
    };
    ASSERT_TRUE(m_handheld->Send(ConnectRequest("Broken")));
    ASSERT_TRUE(PumpUntil([&] { return handled; }, 5000));
    EXPECT_EQ(nullptr, m_stream);

    // The old event thread is gone from the port: a new stream on it answers
    // exactly once.
    PumpFor(100);
    m_hub.onConnect = nullptr;
    OpenStream();
    ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
    EXPECT_EQ(Packet(NV_CMD_ECHO), m_handheld->ReceiveFor(500));
}

TEST_F(SerialStreamTest, DestroyedDirectlyInsideItsConnectRequest) {
    OpenStream();
    m_hub.onConnect = [&](WPARAM) {
        delete m_stream;
        m_stream = nullptr;
    };
    ASSERT_TRUE(m_handheld->Send(ConnectRequest("Echo")));
    ASSERT_TRUE(PumpUntil([&] { return m_stream == nullptr; }, 3000));
    PumpFor(100);
    m_hub.onConnect = nullptr;
    OpenStream();
    ASSERT_TRUE(m_handheld->Send(Packet(NV_CMD_ECHO)));
    EXPECT_EQ(Packet(NV_CMD_ECHO), m_handheld->ReceiveFor(500));
}

}  // namespace

// A handheld that reads nothing while a plug-in's answers are written into
// its port: the hub window's own write (a beacon here) gives up after a short
// grace, interrupting the stuck writer, instead of waiting out the write
// time-out behind it.
TEST_F(SerialStreamTest, HubWindowsWriteDoesNotWaitBehindAStuckWrite) {
    CSerialStream *stream = OpenStream();
    std::atomic<bool> stop{false};
    std::vector<uint8_t> payload(60000, 0x41);
    SerialBytes big = Packet(0x23, payload);
    std::thread writer([&] {
        while (!stop) stream->WritePacket(big.data(), m_user.id);
    });
    ::Sleep(500);  // the port's buffers are full; the writer waits for the handheld
    DWORD start = ::GetTickCount();
    stream->SendBeacon();  // from the hub window's thread
    DWORD took = ::GetTickCount() - start;
    stop = true;
    stream->InterruptWrites();  // ends a write still waiting, as a detach would
    writer.join();
    stream->ResumeWrites();
    EXPECT_LT(took, 1500u);
}
