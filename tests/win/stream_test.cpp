// The stream base through the in-memory transport: framing edge cases as a
// reader thread meets them, the hand-overs to the hub window, the traffic log
// as a file, and many threads writing into one stream at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include "app/hub_messages.h"
#include "framework/app.h"
#include "memory_stream.h"
#include "process_counters.h"
#include "recording_window.h"
#include "stream/global_packet.h"
#include "stream/packet.h"
#include "stream/traffic_log_format.h"
#include "test_files.h"

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Filled(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 13);
    return out;
}

std::string LogPath(const std::string &name) { return std::string(fw::GetModuleDir()) + name; }

std::string ExpectedFile(const char *name) {
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.find_last_of("/\\"));
    return ReadWholeFile(dir + "/../data/" + name);
}

bool FileExists(const std::string &path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        user.id = 3;
        liveAtStart = GlobalPacketsLive();
    }
    void TearDown() override { EXPECT_EQ(GlobalPacketsLive(), liveAtStart) << "packet buffers leaked"; }

    RecordingHubWindow hub;
    UserInfo user = {};
    long liveAtStart = 0;
};

// What the stream and its peer wrote once the chunks are dispatched.
struct Outcome {
    Bytes back, forwarded;
    std::vector<uint32_t> forwardedIds;
};

Outcome Dispatch(UserInfo *user, const std::vector<Bytes> &chunks) {
    CMemoryStream s(user), peer;
    s.SetPeer(&peer);
    for (const Bytes &c : chunks) s.Arrive(c);
    s.DispatchAll();
    return {s.Written(), peer.Written(), peer.WrittenIds()};
}

TEST_F(StreamTest, EchoNoopAndLeadIn) {
    Outcome o = Dispatch(&user, {{5, 0, 0}});
    EXPECT_EQ(o.back, (Bytes{5, 0, 0}));
    EXPECT_TRUE(o.forwarded.empty());

    o = Dispatch(&user, {{5, 2, 0, 'x', 'y'}, {5, 9, 0, 1}});  // a payload is ignored; a cut echo is noise
    EXPECT_EQ(o.back, (Bytes{5, 0, 0}));

    o = Dispatch(&user, {{6, 0, 0}, {6, 2, 0, 1, 2}});
    EXPECT_TRUE(o.back.empty());
    EXPECT_TRUE(o.forwarded.empty());

    o = Dispatch(&user, {{8, 5, 0, 0}});
    EXPECT_EQ(o.back, (Bytes{5, 0, 0}));
    EXPECT_TRUE(o.forwarded.empty());

    o = Dispatch(&user, {{8, 8, 0, 0}});
    EXPECT_TRUE(o.back.empty());
    EXPECT_EQ(o.forwarded, (Bytes{8, 0, 0}));

    o = Dispatch(&user, {{8}});
    EXPECT_TRUE(o.back.empty());
    EXPECT_TRUE(o.forwarded.empty());
    EXPECT_TRUE(hub.Messages().empty());
}

// A crowd of handhelds that came and went leaves no memory behind: each
// link's read buffer goes back to the system with the link, even where what
// outlives the links (a user's record held for a while, say) was allocated
// between the buffers.
TEST_F(StreamTest, ReadBuffersLeaveTheProcessWithTheirLinks) {
    const size_t kLinks = 100, kBuffer = PacketReader::kDefaultBufferSize;
    std::vector<std::unique_ptr<char[]>> outliving;
    const size_t before = ProcessCounters::Now().committedBytes;
    {
        std::vector<std::unique_ptr<CMemoryStream>> links;
        for (size_t i = 0; i < kLinks; ++i) {
            links.emplace_back(new CMemoryStream(&user));
            links.back()->Arrive({5, 0, 0});
            links.back()->DispatchAll();
            EXPECT_EQ(links.back()->Written(), (Bytes{5, 0, 0}));
            outliving.emplace_back(new char[64]);
        }
        EXPECT_GT(ProcessCounters::Now().committedBytes, before + kLinks * kBuffer * 3 / 4);
    }
    EXPECT_LT(ProcessCounters::Now().committedBytes, before + kLinks * kBuffer / 4);
}

TEST_F(StreamTest, ForeignSignatureIsReportedAndFramingGoesOn) {
    CMemoryStream s(&user), peer;
    s.SetPeer(&peer);
    s.Arrive({0x00, 0xE0, 0x5A, 0x20, 1, 0, 'x'});
    s.DispatchPacket();
    ASSERT_EQ(hub.Messages().size(), 1u);
    EXPECT_EQ(hub.Messages()[0].message, WM_STREAM_FOREIGN);
    EXPECT_EQ(hub.Messages()[0].wParam, reinterpret_cast<WPARAM>(static_cast<CStream *>(&s)));
    EXPECT_TRUE(peer.Written().empty());
    s.DispatchPacket();
    EXPECT_EQ(peer.Written(), (Bytes{0x20, 1, 0, 'x'}));
    EXPECT_EQ(hub.Messages().size(), 1u);

    Bytes e1 = Cat({{0x00, 0xE1, 0x00}, Filled(225)});
    Outcome o = Dispatch(&user, {e1});
    EXPECT_EQ(o.forwarded, e1);  // command 0 with a 225-byte payload
    EXPECT_EQ(hub.Messages().size(), 1u);
}

TEST_F(StreamTest, EscapedPacketIsForwardedWhole) {
    Bytes big = Cat({{0x07, 0xFF, 0xFF, 0x10, 0x00, 0x01, 0x00}, Filled(65552, 1)});
    Outcome o = Dispatch(&user, {big});
    ASSERT_EQ(o.forwarded.size(), 65559u);
    EXPECT_TRUE(o.forwarded == big);
    EXPECT_EQ(o.forwardedIds, (std::vector<uint32_t>{3}));
}

TEST_F(StreamTest, ConnectionIdIs255WithoutUserInfo) {
    Outcome o = Dispatch(nullptr, {{0x30, 0, 0}});
    EXPECT_EQ(o.forwarded, (Bytes{0x30, 0, 0}));
    EXPECT_EQ(o.forwardedIds, (std::vector<uint32_t>{255}));
    // Without a peer, application data goes nowhere.
    CMemoryStream alone(&user);
    alone.Arrive({0x30, 0, 0});
    alone.DispatchPacket();
    EXPECT_TRUE(alone.Written().empty());
}

TEST_F(StreamTest, ConnectRequestGoesToTheHubWindow) {
    Bytes request = {2, 4, 0, 'R', 'U', 'I', 'D'};
    CMemoryStream s(&user), peer;
    s.SetPeer(&peer);
    s.Arrive(request);
    s.DispatchPacket();
    EXPECT_EQ(s.CtsOnCount(), 1);
    ASSERT_EQ(hub.Messages().size(), 1u);
    EXPECT_EQ(hub.Messages()[0].message, WM_STREAM_CONNECT);
    EXPECT_EQ(hub.Messages()[0].wParam, reinterpret_cast<WPARAM>(&user));
    EXPECT_EQ(hub.Messages()[0].packet, request);
    EXPECT_TRUE(peer.Written().empty());

    // No UserInfo: the request is dropped (flow control still switched on).
    CMemoryStream anonymous;
    anonymous.Arrive(request);
    anonymous.DispatchPacket();
    EXPECT_EQ(anonymous.CtsOnCount(), 1);
    EXPECT_EQ(hub.Messages().size(), 1u);
}

// The router may destroy the stream while handling the request; the stream's
// memory is then wiped so that any later use of it faults.
TEST_F(StreamTest, NothingOfTheStreamIsUsedAfterTheConnectHandOver) {
    alignas(CMemoryStream) static unsigned char storage[sizeof(CMemoryStream)];
    auto *s = new (storage) CMemoryStream(&user);
    hub.onConnect = [s](WPARAM) {
        s->~CMemoryStream();
        memset(storage, 0xCC, sizeof storage);
    };
    s->Arrive({2, 0, 0});
    s->DispatchPacket();
    hub.onConnect = nullptr;
    EXPECT_EQ(hub.Messages().size(), 1u);
}

// A claimed payload above the bound: no allocation, its bytes skipped, its
// header logged as noise, and the stream still framed behind it.
TEST_F(StreamTest, OversizePacketIsSkippedWithoutAllocation) {
    const char *name = "StreamTest-Oversize.txt";
    const uint32_t len = kMaxPacketPayload + 1;
    Bytes header = {0x22, 0xFF, 0xFF, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                    static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 24)};
    {
        CMemoryStream s(&user, true, name), peer;
        ASSERT_EQ(s.Open(), 1);
        s.SetPeer(&peer);
        s.Arrive(Cat({header, Bytes(len, 0x41), {5, 0, 0}, {0x23, 1, 0, 'z'}}));
        long allocatedBefore = GlobalPacketsAllocated();
        s.DispatchPacket();  // the oversize packet
        EXPECT_EQ(GlobalPacketsAllocated(), allocatedBefore);
        s.DispatchPacket();  // echo
        s.DispatchPacket();  // forwarded
        EXPECT_EQ(GlobalPacketsAllocated(), allocatedBefore + 2);
        EXPECT_EQ(s.Written(), (Bytes{5, 0, 0}));
        EXPECT_EQ(peer.Written(), (Bytes{0x23, 1, 0, 'z'}));
    }
    std::string log = ReadWholeFile(LogPath(name));
    std::string noise;
    AppendNoiseEntry(noise, header.data(), header.size());
    EXPECT_EQ(log.substr(TrafficLogHeader().size(), noise.size()), noise);
    ::DeleteFileA(LogPath(name).c_str());
}

TEST_F(StreamTest, TrafficLogMatchesExpectedFile) {
    const char *name = "StreamTest-Log.txt";
    {
        CMemoryStream s(&user, true, name), peer;
        ASSERT_EQ(s.Open(), 1);
        s.SetPeer(&peer);
        s.Arrive({0x20, 3, 0, 'A', 'B', 'C'});
        s.Arrive({5, 0, 0});
        s.Arrive({0x21, 6, 0, 'a', 'b'});  // cut short: noise
        s.Arrive({0x00, 0xE0, 0x11});      // foreign: not logged
        s.Arrive({0x42, 9, 0, 'H', 'e', 'l', 'l', 'o', 0x0D, 0x80, '!', '?'});
        s.DispatchAll();
        const uint8_t accepted[] = {NV_CMD_CONNECT_ACCEPTED, 0, 0};
        s.WritePacket(accepted, user.id);
    }
    std::string expected = ExpectedFile("stream_log.txt");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ReadWholeFile(LogPath(name)), expected);

    // Opened again under the same name: a new file, the old entries gone.
    {
        CMemoryStream again(&user, true, name);
        again.Open();
        const uint8_t noop[] = {6, 0, 0};
        again.WritePacket(noop, 3);
    }
    std::string fresh = TrafficLogHeader();
    AppendPacketEntry(fresh, reinterpret_cast<const uint8_t *>("\x06\x00\x00"), 3, LogDirection::Written);
    EXPECT_EQ(ReadWholeFile(LogPath(name)), fresh);
    ::DeleteFileA(LogPath(name).c_str());
}

TEST_F(StreamTest, LoggingOffTouchesNoFile) {
    const char *name = "StreamTest-Off.txt";
    ::DeleteFileA(LogPath(name).c_str());
    CMemoryStream s(&user, false, name), peer;
    EXPECT_EQ(s.Open(), 1);
    s.SetPeer(&peer);
    s.Arrive({0x20, 1, 0, 'x'});
    s.Arrive({0x20, 5, 0});
    s.DispatchAll();
    EXPECT_FALSE(FileExists(LogPath(name)));
}

// --- Many writers on one stream.

struct WriterJob {
    CStream *stream;
    int thread;
    int packets;
};

Bytes WriterPacket(int thread, int i) {
    Bytes payload = Filled(5 + (i * 37 + thread * 11) % 60, static_cast<uint8_t>(thread * 16 + i));
    return EncodePacket(static_cast<uint8_t>(0x40 + thread), payload.data(), payload.size());
}

DWORD WINAPI WriterThread(void *arg) {
    auto *job = static_cast<WriterJob *>(arg);
    for (int i = 0; i < job->packets; ++i) {
        Bytes p = WriterPacket(job->thread, i);
        job->stream->WritePacket(p.data(), 7);
    }
    return 0;
}

DWORD WINAPI EchoReaderThread(void *arg) {
    auto *s = static_cast<CMemoryStream *>(arg);
    s->DispatchAll();
    return 0;
}

// Log entries as written: a line that does not start with the data indent starts one.
std::vector<std::string> SplitEntries(const std::string &log) {
    std::vector<std::string> entries;
    size_t pos = TrafficLogHeader().size();
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        if (end == std::string::npos) break;
        std::string line = log.substr(pos, end + 2 - pos);
        if (line.compare(0, 18, std::string(18, ' ')) == 0 && !entries.empty()) entries.back() += line;
        else entries.push_back(line);
        pos = end + 2;
    }
    return entries;
}

TEST_F(StreamTest, ConcurrentWritersNeverInterleave) {
    const char *name = "StreamTest-Concurrent.txt";
    const int kThreads = 6, kPackets = 150;
    {
        CMemoryStream s(&user, true, name);
        s.Open();
        s.SetSlowWrites(true);
        Bytes echoes;
        for (int i = 0; i < 200; ++i) echoes.insert(echoes.end(), {5, 0, 0});
        s.Arrive(echoes);  // answered meanwhile
        WriterJob jobs[kThreads];
        HANDLE threads[kThreads + 1];
        for (int t = 0; t < kThreads; ++t) {
            jobs[t] = {&s, t, kPackets};
            threads[t] = ::CreateThread(nullptr, 0, WriterThread, &jobs[t], 0, nullptr);
        }
        threads[kThreads] = ::CreateThread(nullptr, 0, EchoReaderThread, &s, 0, nullptr);
        ::WaitForMultipleObjects(kThreads + 1, threads, TRUE, INFINITE);
        for (HANDLE h : threads) ::CloseHandle(h);

        // The output frames into exactly the packets sent, each whole, each thread in order.
        Bytes out = s.Written();
        std::vector<Bytes> packets;
        size_t pos = 0;
        while (pos + 3 <= out.size()) {
            size_t size = PacketSize(&out[pos]);
            ASSERT_LE(pos + size, out.size());
            packets.emplace_back(out.begin() + pos, out.begin() + pos + size);
            pos += size;
        }
        ASSERT_EQ(pos, out.size());
        ASSERT_EQ(packets.size(), static_cast<size_t>(kThreads * kPackets + 200));
        int next[kThreads] = {};
        for (const Bytes &p : packets) {
            if (p == Bytes{5, 0, 0}) continue;
            int t = p[0] - 0x40;
            ASSERT_TRUE(t >= 0 && t < kThreads);
            ASSERT_EQ(p, WriterPacket(t, next[t]++));
        }

        // Every log entry is whole, and written entries come in the order of the bytes.
        std::vector<std::string> entries = SplitEntries(ReadWholeFile(LogPath(name)));
        ASSERT_EQ(entries.size(), packets.size() + 200);  // each echo read is an entry too
        size_t written = 0;
        for (const std::string &e : entries) {
            if (e.compare(0, 4, "USER") == 0) {
                EXPECT_EQ(e, std::string("USER         5    \r\n"));
                continue;
            }
            ASSERT_LT(written, packets.size());
            std::string want;
            const Bytes &p = packets[written++];
            AppendPacketEntry(want, p.data(), p.size(), LogDirection::Written);
            ASSERT_EQ(e, want);
        }
        EXPECT_EQ(written, packets.size());
    }
    ::DeleteFileA(LogPath(name).c_str());
}

}  // namespace
