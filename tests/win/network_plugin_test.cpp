// Network plug-ins on the hub's plug-in port, driven from outside over real
// loopback connections: naming and renaming, the link format with its id
// byte in both directions, users coming and going, the plug-in's end,
// replacement by name in both directions, the bound on links, a stalled
// plug-in, and many handhelds writing into one link at once.
// NORVANE_TEST_USES_HUB_PORTS: the hub binds 4343 and 4242.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "inert_stream.h"
#include "loopback_client.h"
#include "message_box_watcher.h"
#include "plugin_dir.h"
#include "process_counters.h"
#include "routing/connect_request.h"
#include "routing/plugin_record.h"
#include "stream/packet.h"
#include "stream/plugin_socket_stream.h"
#include "test_hub.h"

namespace {

using Bytes = std::vector<uint8_t>;
const unsigned kUserPort = 4343;
const unsigned kPluginPort = 4242;
const Bytes kAccepted = {3, 0, 0};
const Bytes kFailed = {4, 0, 0};

// One packet as the plug-in sees it: the id byte apart, the packet as on a
// handheld's link.
struct LinkPacket {
    uint8_t id;
    Bytes packet;
    bool operator==(const LinkPacket &o) const { return id == o.id && packet == o.packet; }
};

std::ostream &operator<<(std::ostream &os, const LinkPacket &p) {
    os << "id " << int(p.id) << ":";
    for (size_t i = 0; i < p.packet.size() && i < 16; ++i) os << ' ' << std::hex << int(p.packet[i]) << std::dec;
    return os << (p.packet.size() > 16 ? " ..." : "");
}

bool Readable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval none = {0, 2000};
    return ::select(0, &set, nullptr, nullptr, &none) > 0;
}

class NoEvents final : public PacketFramer::Events {
public:
    void OnForeignSignature() override {}
    void OnNoise(const uint8_t *, size_t) override { ++noise; }
    int noise = 0;
};

// A network plug-in played by the test: framing with the id byte, packets
// queued as they arrive. Waits pump the test's messages, since the hub
// window lives on this thread.
class PluginPeer {
public:
    PluginPeer() : m_link(kPluginPort), m_framer(HeapPacketAllocator(), m_events, Rules()) {}

    bool Connected() const { return m_link.Connected(); }
    LoopbackClient &Link() { return m_link; }

    bool Send(const Bytes &packet, uint8_t id) {
        PacketHeader header;
        if (!ParsePacketHeader(packet.data(), packet.size(), &header)) return false;
        Bytes wire(packet.begin(), packet.begin() + header.headerSize);
        wire.push_back(id);
        wire.insert(wire.end(), packet.begin() + header.headerSize, packet.end());
        return m_link.Send(wire);
    }
    bool Name(const std::string &name) { return Send(EncodePacket(NV_CMD_PLUGIN_NAME, name.data(), name.size()), 255); }

    // The next packet within the time, or false.
    bool Next(LinkPacket *out, DWORD timeoutMs = 3000) {
        DWORD start = ::GetTickCount();
        while (m_got.empty()) {
            if (m_closed || ::GetTickCount() - start >= timeoutMs) return false;
            if (!PumpUntil([&] { return Readable(m_link.Handle()); }, 50)) continue;
            ReadSome();
        }
        *out = m_got.front();
        m_got.pop_front();
        return true;
    }
    // Everything that arrives within the time.
    std::vector<LinkPacket> Drain(DWORD ms) {
        std::vector<LinkPacket> all;
        LinkPacket p;
        while (Next(&p, ms)) all.push_back(p);
        return all;
    }
    bool Closed(DWORD timeoutMs) {
        LinkPacket ignored;
        DWORD start = ::GetTickCount();
        while (!m_closed && ::GetTickCount() - start < timeoutMs) Next(&ignored, 50);
        return m_closed;
    }
    int Noise() const { return m_events.noise; }

private:
    static FramingRules Rules() {
        FramingRules rules;
        rules.foreignSignature = false;
        rules.idByte = true;
        return rules;
    }
    void ReadSome() {
        uint8_t buffer[65536];
        int n = ::recv(m_link.Handle(), reinterpret_cast<char *>(buffer), sizeof buffer, 0);
        if (n <= 0) {
            m_closed = true;
            return;
        }
        const uint8_t *at = buffer;
        size_t left = static_cast<size_t>(n);
        while (left) {
            size_t used = 0;
            if (uint8_t *packet = m_framer.Feed(at, left, &used)) {
                m_got.push_back({m_framer.ConnectionId(), Bytes(packet, packet + PacketSize(packet))});
                HeapPacketAllocator().Free(packet);
            }
            at += used;
            left -= used;
        }
    }

    LoopbackClient m_link;
    NoEvents m_events;
    PacketFramer m_framer;
    std::deque<LinkPacket> m_got;
    bool m_closed = false;
};

Bytes Request(const std::string &plugin, const std::string &user) {
    Bytes payload = EncodeConnectPayload("RUID-" + user, plugin, user, 1);
    return EncodePacket(NV_CMD_CONNECT_REQUEST, payload.data(), payload.size());
}

Bytes UserAdded(uint8_t id, const std::string &name) {
    Bytes packet = {NV_CMD_USER_ADDED, static_cast<uint8_t>(name.size()), static_cast<uint8_t>(name.size() >> 8)};
    packet.insert(packet.end(), name.begin(), name.end());
    return packet;
}

class NetworkPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        hub = std::make_unique<TestHub>();
        ASSERT_TRUE(hub->Alive());
        if (!(*hub)->m_pPluginListener) GTEST_SKIP() << "port 4242 is held by another program";
        (*hub)->m_bPairing = TRUE;  // handhelds are admitted without a paired list
    }
    void TearDown() override { hub.reset(); }
    CHubFrame &Hub() { return *hub->Get(); }

    // A plug-in that has named itself and is in the catalogue.
    std::unique_ptr<PluginPeer> Plugin(const std::string &name) {
        auto plugin = std::make_unique<PluginPeer>();
        EXPECT_TRUE(plugin->Connected());
        EXPECT_TRUE(plugin->Name(name));
        EXPECT_TRUE(PumpUntil([&] { return Hub().FindPlugin(name.c_str()) >= 0; }, 3000)) << name;
        return plugin;
    }
    // A handheld attached to `plugin`, whose USER_ADDED the plug-in has read.
    std::unique_ptr<LoopbackClient> Handheld(const std::string &pluginName, const std::string &user,
                                             PluginPeer *plugin, uint8_t id) {
        auto client = std::make_unique<LoopbackClient>(kUserPort);
        EXPECT_TRUE(client->Connected());
        client->Send(Request(pluginName, user));
        LinkPacket added;
        if (plugin) {
            EXPECT_TRUE(plugin->Next(&added));
            EXPECT_EQ(added, (LinkPacket{id, UserAdded(id, user)}));
        }
        EXPECT_EQ(client->Receive(3, 3000), kAccepted) << user;
        return client;
    }
    CPluginSocketStream *StreamOf(const std::string &name) {
        int index = Hub().FindPlugin(name.c_str());
        if (index < 0) return nullptr;
        return dynamic_cast<CPluginSocketStream *>(Hub().m_plugins[static_cast<size_t>(index)]->m_pStream);
    }
    CStream *PeerOf(int id) {
        auto it = Hub().m_connections.find(id);
        return it == Hub().m_connections.end() ? nullptr : it->second->stream->GetPeer();
    }

    WinsockSession winsock;
    MessageBoxWatcher boxes;
    std::unique_ptr<TestHub> hub;
};

}  // namespace

TEST_F(NetworkPluginTest, NamedPluginServesItsUsersOverOneLink) {
    PluginPeer plugin;
    ASSERT_TRUE(plugin.Connected());
    ASSERT_TRUE(plugin.Send({0x0C, 4, 0, 'D', 'e', 'm', 'o'}, 255));
    ASSERT_TRUE(PumpUntil([&] { return Hub().FindPlugin("demo") == 0; }, 3000));
    CPluginRecord *record = Hub().m_plugins[0];
    EXPECT_EQ(record->m_strName, "Demo");
    EXPECT_EQ(record->m_strLocation, "127.0.0.1");
    EXPECT_FALSE(record->IsInProcess());

    auto ann = Handheld("Demo", "Ann", &plugin, 100);
    auto bob = Handheld("DEMO", "Bob", &plugin, 101);
    LinkPacket got;

    // To every user, each with its own id; to one; to one nobody holds.
    ASSERT_TRUE(plugin.Send({0x20, 1, 0, 'A'}, 0));
    EXPECT_EQ(ann->Receive(4, 3000), Bytes({0x20, 1, 0, 'A'}));
    EXPECT_EQ(bob->Receive(4, 3000), Bytes({0x20, 1, 0, 'A'}));
    ASSERT_TRUE(plugin.Send({0x20, 1, 0, 'B'}, 101));
    ASSERT_TRUE(plugin.Send({0x20, 1, 0, 'C'}, 42));
    ASSERT_TRUE(plugin.Send({0x20, 1, 0, 'D'}, 255));
    EXPECT_EQ(bob->Receive(4, 3000), Bytes({0x20, 1, 0, 'B'}));
    EXPECT_TRUE(ann->Receive(1, 300).empty());
    EXPECT_TRUE(bob->Receive(1, 100).empty());

    // ECHO is answered on the link with the id it came with.
    ASSERT_TRUE(plugin.Send({5, 0, 0}, 7));
    ASSERT_TRUE(plugin.Next(&got));
    EXPECT_EQ(got, (LinkPacket{7, {5, 0, 0}}));

    // From a user: the user's id; escaped lengths keep their long header.
    ASSERT_TRUE(ann->Send({0x20, 1, 0, 'A'}));
    ASSERT_TRUE(plugin.Next(&got));
    EXPECT_EQ(got, (LinkPacket{100, {0x20, 1, 0, 'A'}}));
    Bytes big = EncodePacket(0x21, std::string(70000, 'x').data(), 70000);
    ASSERT_TRUE(bob->Send(big));
    ASSERT_TRUE(plugin.Next(&got, 5000));
    EXPECT_EQ(got, (LinkPacket{101, big}));
    ASSERT_TRUE(plugin.Send(big, 100));
    EXPECT_EQ(ann->Receive(big.size(), 5000), big);

    // A user that goes is announced gone.
    ann->Close();
    ASSERT_TRUE(plugin.Next(&got));
    EXPECT_EQ(got, (LinkPacket{100, {0x0A, 0, 0}}));
    EXPECT_EQ(plugin.Noise(), 0);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(NetworkPluginTest, SecondNameRenamesInPlaceAndEmptyNameIsNotTaken) {
    auto first = Plugin("Music");
    auto other = Plugin("Slides");
    ASSERT_TRUE(first->Name("Video"));
    ASSERT_TRUE(PumpUntil([&] { return Hub().FindPlugin("Video") == 0; }, 3000));
    EXPECT_EQ(Hub().FindPlugin("Music"), -1);
    EXPECT_EQ(Hub().FindPlugin("Slides"), 1);

    // An unnamed plug-in must not answer requests that name no plug-in.
    PluginPeer blank;
    ASSERT_TRUE(blank.Name(""));
    PumpFor(300);
    EXPECT_EQ(Hub().m_plugins.size(), 2u);
    EXPECT_EQ(Hub().m_pluginLinks.size(), 3u);
}

TEST_F(NetworkPluginTest, PluginThatClosesLeavesItsUsersConnectedAndUnattached) {
    auto plugin = Plugin("Demo");
    auto ann = Handheld("Demo", "Ann", plugin.get(), 100);
    auto bob = Handheld("Demo", "Bob", plugin.get(), 101);
    ASSERT_NE(PeerOf(100), nullptr);

    plugin->Link().Close();
    ASSERT_TRUE(PumpUntil([&] { return Hub().m_pluginLinks.empty(); }, 3000));
    EXPECT_TRUE(Hub().m_plugins.empty());
    // No closed notice: both handhelds are still the hub's, without a peer.
    PumpFor(200);
    ASSERT_EQ(Hub().m_connections.size(), 2u);
    EXPECT_EQ(PeerOf(100), nullptr);
    EXPECT_EQ(PeerOf(101), nullptr);
    ASSERT_TRUE(ann->Send({0x20, 1, 0, 'A'}));  // goes nowhere
    ASSERT_TRUE(ann->Send({5, 0, 0}));
    EXPECT_EQ(ann->Receive(3, 3000), Bytes({5, 0, 0}));

    // Asking again finds no plug-in of that name; a new one serves them.
    ASSERT_TRUE(ann->Send(Request("Demo", "Ann")));
    EXPECT_EQ(ann->Receive(3, 3000), kFailed);
    auto again = Plugin("Demo");
    ASSERT_TRUE(bob->Send(Request("Demo", "Bob")));
    LinkPacket got;
    ASSERT_TRUE(again->Next(&got));
    EXPECT_EQ(got, (LinkPacket{101, UserAdded(101, "Bob")}));
    EXPECT_EQ(bob->Receive(3, 3000), kAccepted);
}

TEST_F(NetworkPluginTest, PluginNamedLikeAnotherReplacesItAndItsUsersAreToldFirst) {
    auto first = Plugin("Demo");
    auto ann = Handheld("Demo", "Ann", first.get(), 100);

    auto second = Plugin("other");
    ASSERT_TRUE(second->Name("DEMO"));
    LinkPacket got;
    ASSERT_TRUE(first->Next(&got));
    EXPECT_EQ(got, (LinkPacket{100, {0x0A, 0, 0}}));
    EXPECT_TRUE(first->Closed(3000));  // its link is closed by the hub
    ASSERT_EQ(Hub().m_plugins.size(), 1u);
    EXPECT_EQ(Hub().m_plugins[0]->m_strName, "DEMO");
    EXPECT_EQ(Hub().m_pluginLinks.size(), 1u);
    EXPECT_EQ(PeerOf(100), nullptr);

    ASSERT_TRUE(ann->Send(Request("demo", "Ann")));
    ASSERT_TRUE(second->Next(&got));
    EXPECT_EQ(got, (LinkPacket{100, UserAdded(100, "Ann")}));
    EXPECT_EQ(ann->Receive(3, 3000), kAccepted);
}

TEST_F(NetworkPluginTest, PluginNamedLikeALoadedDllReplacesItAfterDetachingItsUsers) {
    PluginDir dir;
    ASSERT_TRUE(dir.Add("EchoPlugin.dll", "NetEcho.dll"));
    ASSERT_EQ(Hub().LoadPlugin("NetEcho"), 0);
    DWORD dllThread = Hub().m_plugins[0]->m_nThreadId;
    auto ann = Handheld("NetEcho", "Ann", nullptr, 100);
    ASSERT_TRUE(ann->Send({0x20, 1, 0, 'E'}));
    EXPECT_EQ(ann->Receive(4, 3000), Bytes({0x20, 1, 0, 'E'}));  // the DLL answers

    PluginPeer network;
    ASSERT_TRUE(network.Name("NETECHO"));
    ASSERT_TRUE(PumpUntil([&] { return !Hub().m_plugins.empty() && !Hub().m_plugins[0]->IsInProcess(); }, 8000));
    ASSERT_EQ(Hub().m_plugins.size(), 1u);
    EXPECT_FALSE(Hub().m_plugins[0]->IsInProcess());
    EXPECT_EQ(PeerOf(100), nullptr);
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, dllThread);
    EXPECT_TRUE(!thread || ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0);
    if (thread) ::CloseHandle(thread);

    ASSERT_TRUE(ann->Send(Request("netecho", "Ann")));
    LinkPacket got;
    ASSERT_TRUE(network.Next(&got));
    EXPECT_EQ(got, (LinkPacket{100, UserAdded(100, "Ann")}));
    EXPECT_EQ(ann->Receive(3, 3000), kAccepted);
}

TEST_F(NetworkPluginTest, LongUserNameIsAnnouncedCutToTheShortLength) {
    auto plugin = Plugin("Names");
    CPluginSocketStream *stream = StreamOf("Names");
    ASSERT_NE(stream, nullptr);
    std::string name(70000, 'n');
    UserInfo user = {120, &name[0], 0, 0};
    CInertStream userStream(&user);
    stream->AddUser(&user, &userStream);
    LinkPacket got;
    ASSERT_TRUE(plugin->Next(&got));
    EXPECT_EQ(got.id, 120);
    ASSERT_EQ(got.packet.size(), 3u + 0xFFFE);
    EXPECT_EQ(Bytes(got.packet.begin(), got.packet.begin() + 3), Bytes({9, 0xFE, 0xFF}));
    stream->RemoveUser(&user);
    ASSERT_TRUE(plugin->Next(&got));
    EXPECT_EQ(got, (LinkPacket{120, {0x0A, 0, 0}}));
    EXPECT_EQ(stream->UserCount(), 0u);
}

TEST_F(NetworkPluginTest, LinksBeyondTheBoundAreClosedAndUnnamedOnesEndAtShutdown) {
    const int threadsBefore = ProcessThreadCount();
    std::vector<std::unique_ptr<PluginPeer>> links;
    for (size_t i = 0; i < CHubFrame::kMaxPluginLinks; ++i) {
        // One at a time: the hub accepts on this thread, and the backlog is short.
        links.push_back(std::make_unique<PluginPeer>());
        ASSERT_TRUE(links.back()->Connected());
        ASSERT_TRUE(PumpUntil([&] { return Hub().m_pluginLinks.size() == i + 1; }, 3000));
    }
    PluginPeer refused;
    EXPECT_TRUE(refused.Closed(3000));
    EXPECT_EQ(Hub().m_pluginLinks.size(), CHubFrame::kMaxPluginLinks);
    EXPECT_TRUE(Hub().m_plugins.empty());  // none named itself

    // Each still answers, and one that leaves makes room.
    ASSERT_TRUE(links[63]->Send({5, 0, 0}, 1));
    LinkPacket got;
    ASSERT_TRUE(links[63]->Next(&got));
    EXPECT_EQ(got, (LinkPacket{1, {5, 0, 0}}));
    links[0]->Link().Close();
    ASSERT_TRUE(PumpUntil([&] { return Hub().m_pluginLinks.size() == CHubFrame::kMaxPluginLinks - 1; }, 3000));
    PluginPeer admitted;
    ASSERT_TRUE(admitted.Name("Late"));
    EXPECT_TRUE(PumpUntil([&] { return Hub().FindPlugin("Late") == 0; }, 3000));

    // Shutdown ends every link, named or not, and waits for their readers.
    hub->Close();
    EXPECT_LE(ProcessThreadCount(), threadsBefore);
    for (size_t i = 1; i < links.size(); ++i) EXPECT_TRUE(links[i]->Closed(3000)) << i;
    EXPECT_TRUE(admitted.Closed(3000));
}

// Handhelds on threads of their own write into the one link at once; every
// packet reaches the plug-in whole, with its sender's id, in each sender's order.
namespace {
struct Sender {
    LoopbackClient *client;
    int index;
    int count;
    HANDLE start;
    bool ok = true;
};

DWORD WINAPI SendMany(void *arg) {
    auto *s = static_cast<Sender *>(arg);
    ::WaitForSingleObject(s->start, INFINITE);
    for (int i = 0; i < s->count && s->ok; ++i) {
        // Sizes vary, some beyond the short length, so writes overlap in every way.
        size_t size = (i % 50 == 49) ? 70000 : static_cast<size_t>((i * 37 + s->index * 11) % 900);
        std::string payload(size, static_cast<char>('a' + s->index));
        if (size >= 4) memcpy(&payload[0], &i, 4);
        Bytes packet = EncodePacket(0x30, payload.data(), payload.size());
        s->ok = s->client->Send(packet);
    }
    return 0;
}
}  // namespace

TEST_F(NetworkPluginTest, ManyUsersWritingAtOnceEachPacketWhole) {
    auto plugin = Plugin("Sink");
    const int kUsers = 6, kPackets = 200;
    std::vector<std::unique_ptr<LoopbackClient>> users;
    for (int u = 0; u < kUsers; ++u)
        users.push_back(Handheld("Sink", "U" + std::to_string(u), plugin.get(), static_cast<uint8_t>(100 + u)));

    fw::Handle start(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<Sender> senders;
    for (int u = 0; u < kUsers; ++u)
        senders.push_back({users[u].get(), u, kPackets, start.Get()});
    std::vector<HANDLE> threads;
    for (auto &s : senders) threads.push_back(::CreateThread(nullptr, 0, SendMany, &s, 0, nullptr));
    ::SetEvent(start.Get());

    std::map<uint8_t, int> next;
    int total = 0;
    LinkPacket got;
    while (total < kUsers * kPackets && plugin->Next(&got, 10000)) {
        ++total;
        ASSERT_GE(got.id, 100);
        ASSERT_LT(got.id, 100 + kUsers);
        int u = got.id - 100, i = next[got.id]++;
        size_t size = (i % 50 == 49) ? 70000 : static_cast<size_t>((i * 37 + u * 11) % 900);
        std::string payload(size, static_cast<char>('a' + u));
        if (size >= 4) memcpy(&payload[0], &i, 4);
        ASSERT_EQ(got.packet, EncodePacket(0x30, payload.data(), payload.size())) << "user " << u << " packet " << i;
    }
    EXPECT_EQ(total, kUsers * kPackets);
    ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 10000);
    for (HANDLE t : threads) ::CloseHandle(t);
    for (auto &s : senders) EXPECT_TRUE(s.ok);
    EXPECT_EQ(plugin->Noise(), 0);
}

TEST_F(NetworkPluginTest, PluginThatStopsReadingEndsItsLinkAndHoldsNobody) {
    auto plugin = Plugin("Stuck");
    int small = 4096;
    ::setsockopt(plugin->Link().Handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&small), sizeof small);
    auto ann = Handheld("Stuck", "Ann", plugin.get(), 100);
    // The plug-in reads nothing from here on; the handheld keeps sending.
    Bytes chunk = EncodePacket(0x31, std::string(60000, 'z').data(), 60000);
    DWORD start = ::GetTickCount();
    bool ended = false;
    for (int i = 0; i < 400 && !ended; ++i) {
        ann->Send(chunk);
        ended = PumpUntil([&] { return Hub().m_pluginLinks.empty(); }, 10);
    }
    ended = ended || PumpUntil([&] { return Hub().m_pluginLinks.empty(); }, 20000);
    EXPECT_TRUE(ended);
    EXPECT_LT(::GetTickCount() - start, 30000u);
    EXPECT_TRUE(Hub().m_plugins.empty());
    ASSERT_EQ(Hub().m_connections.size(), 1u);
    EXPECT_EQ(PeerOf(100), nullptr);
    // The handheld's own reader was not held up: it still answers.
    ann->Receive(1 << 20, 200);
    ASSERT_TRUE(ann->Send({5, 0, 0}));
    EXPECT_EQ(ann->Receive(3, 5000), Bytes({5, 0, 0}));
}

namespace {
struct Flood {
    LoopbackClient *client;
    volatile LONG stop;
};

DWORD WINAPI FloodMain(void *arg) {
    auto *flood = static_cast<Flood *>(arg);
    Bytes chunk = EncodePacket(0x31, std::string(60000, 'z').data(), 60000);
    while (!flood->stop && flood->client->Send(chunk)) {
    }
    return 0;
}
}  // namespace

TEST_F(NetworkPluginTest, HubWindowIsNotHeldByAPluginThatStopsReading) {
    auto plugin = Plugin("Stuck");
    int small = 4096;
    ::setsockopt(plugin->Link().Handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&small), sizeof small);
    auto ann = Handheld("Stuck", "Ann", plugin.get(), 100);
    auto bob = Handheld("Stuck", "Bob", plugin.get(), 101);
    // Ann's reader ends up blocked in a write into the link, holding it.
    Flood flood = {ann.get(), 0};
    fw::Handle thread(::CreateThread(nullptr, 0, FloodMain, &flood, 0, nullptr));
    PumpFor(1500);

    // The hub window detaches Bob: it must write USER_REMOVED into the link
    // Ann's reader holds, and it does not wait for the plug-in to read.
    DWORD start = ::GetTickCount();
    Hub().DetachUser(Hub().m_connections[101]);
    EXPECT_LT(::GetTickCount() - start, 3000u);
    EXPECT_EQ(PeerOf(101), nullptr);
    // The write that did not move was broken: the link ends like a lost plug-in.
    EXPECT_TRUE(PumpUntil([&] { return Hub().m_pluginLinks.empty(); }, 5000));
    EXPECT_EQ(PeerOf(100), nullptr);
    flood.stop = 1;
    ann->Reset();
    ::WaitForSingleObject(thread.Get(), 10000);
}

// Plug-ins that name and rename themselves all at once replace one another
// while others' hand-overs still wait: a hand-over for a record that was
// destroyed meanwhile must find nothing, and the tables stay consistent.
TEST_F(NetworkPluginTest, NamingRaceKeepsTheTablesConsistent) {
    const int kPlugins = 8;
    std::vector<std::unique_ptr<PluginPeer>> plugins;
    for (int i = 0; i < kPlugins; ++i) {
        plugins.push_back(std::make_unique<PluginPeer>());
        ASSERT_TRUE(PumpUntil([&] { return Hub().m_pluginLinks.size() == static_cast<size_t>(i + 1); }, 3000));
    }
    for (int round = 0; round < 5; ++round) {
        // Sent without letting the hub run: the readers queue up at the hub.
        for (int i = 0; i < kPlugins; ++i) {
            std::string mine = "Mine" + std::to_string(i);
            Bytes burst = {0x0C, 4, 0, 255, 'S', 'a', 'm', 'e'};
            Bytes rename = {0x0C, static_cast<uint8_t>(mine.size()), 0, 255};
            rename.insert(rename.end(), mine.begin(), mine.end());
            burst.insert(burst.end(), rename.begin(), rename.end());
            plugins[i]->Link().Send(burst);
        }
        PumpFor(500);
    }
    PumpFor(1000);
    std::set<std::string> names;
    for (CPluginRecord *record : Hub().m_plugins) {
        EXPECT_TRUE(Hub().IsPluginLink(record));
        EXPECT_TRUE(names.insert(record->m_strName).second) << record->m_strName;
    }
    size_t open = 0;
    for (auto &plugin : plugins) open += plugin->Closed(50) ? 0 : 1;
    EXPECT_EQ(Hub().m_pluginLinks.size(), open);
    EXPECT_GE(open, 1u);
    hub->Close();
    for (auto &plugin : plugins) EXPECT_TRUE(plugin->Closed(3000));
}
