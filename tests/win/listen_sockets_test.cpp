// The hub's listening sockets on their fixed ports, with real loopback
// clients: connection ids, the failure messages when a port is taken,
// re-creating the listeners under live connections, a network plug-in that
// never names itself, and a long connect/disconnect churn that must leave nothing behind.
// NORVANE_TEST_USES_HUB_PORTS: binds 4343 and 4242.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>
#include "app/hub_frame.h"
#include "app/listen_socket.h"
#include "app/quarantine.h"
#include "app/user_connection.h"
#include "loopback_client.h"
#include "message_box_watcher.h"
#include "process_counters.h"
#include "routing/plugin_record.h"
#include "stream/stream.h"
#include "test_hub.h"

namespace {

using Bytes = std::vector<uint8_t>;
const unsigned kUserPort = 4343;
const unsigned kPluginPort = 4242;

const char kUserCreateFailed[] =
    "Can't create Velmar PDA Server Socket.\nNetwork Connections will be disabled.\nError: 10048";
const char kPluginCreateFailed[] =
    "Can't create Velmar Plugin Server Socket.\nNetwork Plugin Connections will be disabled.\nError: 10048";

// Holds a port the way another program would: bound and listening.
class PortBlocker {
public:
    explicit PortBlocker(unsigned port) {
        m_socket.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        m_bHeld = ::bind(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                  ::listen(m_socket.Get(), 1) == 0;
    }
    bool Held() const { return m_bHeld; }

private:
    fw::Socket m_socket;
    bool m_bHeld = false;
};

class ListenSocketsTest : public ::testing::Test {
protected:
    void SetUp() override { baselineThreads = ProcessThreadCount(); }

    std::unique_ptr<LoopbackClient> Connect(unsigned port = kUserPort) {
        auto client = std::make_unique<LoopbackClient>(port);
        EXPECT_TRUE(client->Connected()) << "port " << port;
        return client;
    }
    bool Echoes(LoopbackClient &client) {
        return client.Send({5, 0, 0}) && client.Receive(3, 3000) == Bytes({5, 0, 0});
    }
    bool TableHolds(TestHub &hub, size_t n) {
        return PumpUntil([&] { return hub->m_connections.size() == n; }, 3000);
    }
    bool ThreadsBackTo(int count) {
        return PumpUntil([&] { return ProcessThreadCount() <= count; }, 5000);
    }

    WinsockSession winsock;  // for the clients and blockers made before the hub
    MessageBoxWatcher boxes;
    int baselineThreads = 0;
};

}  // namespace

TEST_F(ListenSocketsTest, NetworkIdsStartAt100AndComeBackOnlyWhenFree) {
    TestHub hub;
    auto first = Connect();
    ASSERT_TRUE(TableHolds(hub, 1));
    EXPECT_EQ(hub->m_connections.begin()->first, 100);
    auto second = Connect();
    ASSERT_TRUE(TableHolds(hub, 2));
    EXPECT_EQ(hub->m_connections.count(101), 1u);
    EXPECT_EQ(static_cast<int>(hub->m_connections[101]->userInfo.id), 101);

    first->Close();
    ASSERT_TRUE(TableHolds(hub, 1));
    EXPECT_EQ(hub->m_connections.begin()->first, 101);
    auto third = Connect();
    ASSERT_TRUE(TableHolds(hub, 2));
    EXPECT_EQ(hub->m_connections.count(100), 1u);
    EXPECT_TRUE(Echoes(*second));
    EXPECT_TRUE(Echoes(*third));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ListenSocketsTest, OneNotificationTakesEveryWaitingHandheld) {
    TestHub hub;
    // Three handhelds connect while the hub window is busy; one notification
    // must take them all, and the ones that come later must file nothing.
    auto a = std::make_unique<LoopbackClient>(kUserPort);
    auto b = std::make_unique<LoopbackClient>(kUserPort);
    auto c = std::make_unique<LoopbackClient>(kUserPort);
    hub->m_pUserListener->OnAccept(0);
    EXPECT_EQ(hub->m_connections.size(), 3u);
    PumpFor(300);
    EXPECT_EQ(hub->m_connections.size(), 3u);
    EXPECT_TRUE(Echoes(*a));
    EXPECT_TRUE(Echoes(*c));
}

TEST_F(ListenSocketsTest, HandheldWithoutConnectRequestStaysInTheTableOnly) {
    TestHub hub;
    auto client = Connect();
    ASSERT_TRUE(TableHolds(hub, 1));
    PumpFor(300);
    ASSERT_EQ(hub->m_connections.count(100), 1u);
    CUserConnection *connection = hub->m_connections[100];
    EXPECT_EQ(connection->pluginIndex, -1);
    EXPECT_EQ(connection->stream->GetDescription(), "127.0.0.1");
    EXPECT_EQ(hub->m_listModel.GetCount(), 0);
}

TEST_F(ListenSocketsTest, IdOfAnUnattachedLiveConnectionIsNeverTakenAgain) {
    TestHub hub;
    // A user at 100 that has not been attached to a plug-in yet.
    hub->m_connections[100] = new CUserConnection(nullptr, 100, 100, -1);
    auto client = Connect();
    ASSERT_TRUE(TableHolds(hub, 2));
    EXPECT_EQ(hub->m_connections[100]->stream, nullptr);  // the earlier one, untouched
    EXPECT_EQ(hub->m_connections.count(101), 1u);
}

TEST_F(ListenSocketsTest, AllNetworkIdsTakenRefusesTheHandheldAndChangesNothing) {
    TestHub hub;
    for (int id = 100; id <= 254; ++id) hub->m_connections[id] = new CUserConnection(nullptr, id, id, 0);
    const auto before = hub->m_connections;
    auto refused = Connect();
    EXPECT_TRUE(refused->WaitClosedByHub(3000));
    PumpFor(100);
    EXPECT_EQ(hub->m_connections, before);
    EXPECT_EQ(hub->m_connections.count(255), 0u);

    hub.Get()->RemoveConnection(150);
    auto admitted = Connect();
    ASSERT_TRUE(PumpUntil([&] { return hub->m_connections.count(150) == 1; }, 3000));
    EXPECT_TRUE(Echoes(*admitted));
}

TEST_F(ListenSocketsTest, UserPortTakenShowsOneMessageAndOpensNoPluginPort) {
    PortBlocker blocker(kUserPort);
    ASSERT_TRUE(blocker.Held());
    TestHub hub;
    ASSERT_TRUE(hub.Alive());
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>({kUserCreateFailed}));
    EXPECT_EQ(hub->m_pUserListener, nullptr);
    EXPECT_EQ(hub->m_pPluginListener, nullptr);
    LoopbackClient plugin(kPluginPort);
    EXPECT_FALSE(plugin.Connected());
}

TEST_F(ListenSocketsTest, PluginPortTakenLeavesHandheldsWorking) {
    PortBlocker blocker(kPluginPort);
    ASSERT_TRUE(blocker.Held());
    TestHub hub;
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>({kPluginCreateFailed}));
    EXPECT_NE(hub->m_pUserListener, nullptr);
    EXPECT_EQ(hub->m_pPluginListener, nullptr);
    auto client = Connect();
    ASSERT_TRUE(TableHolds(hub, 1));
    EXPECT_EQ(hub->m_connections.begin()->first, 100);
    EXPECT_TRUE(Echoes(*client));
}

TEST_F(ListenSocketsTest, ReCreatingTheListenersLeavesAcceptedConnectionsRunning) {
    TestHub hub;
    auto user = Connect();
    auto plugin = Connect(kPluginPort);
    ASSERT_TRUE(TableHolds(hub, 1));
    PumpFor(100);

    hub->CloseListenSockets();
    EXPECT_EQ(hub->m_pUserListener, nullptr);
    EXPECT_FALSE(LoopbackClient(kUserPort).Connected());
    EXPECT_TRUE(Echoes(*user));

    hub->CreateListenSockets();
    EXPECT_EQ(boxes.Count(), 0u);
    auto later = Connect();
    ASSERT_TRUE(TableHolds(hub, 2));
    EXPECT_TRUE(Echoes(*user));
    EXPECT_TRUE(Echoes(*later));
    EXPECT_FALSE(plugin->WaitClosedByHub(300));  // the plug-in link is still open
}

TEST_F(ListenSocketsTest, PluginThatNeverNamesItselfHoldsOnlyItsLink) {
    TestHub hub;
    PumpFor(100);
    const int threadsWithHub = ProcessThreadCount();
    auto plugin = Connect(kPluginPort);
    ASSERT_TRUE(PumpUntil([&] { return ProcessThreadCount() == threadsWithHub + 1; }, 3000));
    ASSERT_EQ(hub->m_pluginLinks.size(), 1u);
    EXPECT_EQ(hub->m_pluginLinks[0]->m_strName, "None");
    EXPECT_EQ(hub->m_pluginLinks[0]->m_strLocation, "127.0.0.1");
    // Echoed with its id byte, broadcast to nobody, never catalogued.
    ASSERT_TRUE(plugin->Send({5, 0, 0, 7, 0x20, 1, 0, 0, 'A'}));
    EXPECT_EQ(plugin->Receive(4, 3000), Bytes({5, 0, 0, 7}));
    EXPECT_TRUE(hub->m_plugins.empty());
    EXPECT_TRUE(hub->m_connections.empty());
    plugin->Close();
    EXPECT_TRUE(PumpUntil([&] { return hub->m_pluginLinks.empty(); }, 3000));
    EXPECT_TRUE(hub->m_plugins.empty());
    EXPECT_TRUE(ThreadsBackTo(threadsWithHub));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ListenSocketsTest, ShutdownWithLiveConnectionsLeavesNoReader) {
    std::unique_ptr<LoopbackClient> clients[3];
    {
        TestHub hub;
        for (auto &client : clients) client = Connect();
        ASSERT_TRUE(TableHolds(hub, 3));
        hub.Close();
    }
    for (auto &client : clients) EXPECT_TRUE(client->WaitClosedByHub(3000));
    EXPECT_TRUE(ThreadsBackTo(baselineThreads));
}

TEST_F(ListenSocketsTest, ConnectDisconnectChurnLeavesNoGrowth) {
    TestHub hub;
    // Every other cycle the hub ends the connection while its reader waits;
    // the others end with the handheld.
    auto cycle = [&](int i) {
        LoopbackClient client(kUserPort);
        if (!client.Connected() || !PumpUntil([&] { return hub->m_connections.count(100) == 1; }, 3000))
            return false;
        if (i % 2) {
            hub->RemoveConnection(100);
            return client.WaitClosedByHub(3000);
        }
        client.Close();
        return PumpUntil([&] { return hub->m_connections.empty(); }, 3000);
    };
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(cycle(i)) << "warm-up cycle " << i;
    PumpFor(200);
    // Removed users are held for a grace period on purpose; measured as if it had passed.
    CQuarantine::Purge(::GetTickCount() + CQuarantine::kHoldMs);
    const ProcessCounters before = ProcessCounters::Now();
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(cycle(i)) << "cycle " << i;
    ASSERT_TRUE(ThreadsBackTo(before.threads));
    PumpFor(200);
    CQuarantine::Purge(::GetTickCount() + CQuarantine::kHoldMs);
    const ProcessCounters after = ProcessCounters::Now();
    std::printf("churn: threads %d->%d handles %d->%d heap %u->%u committed %u->%u\n", before.threads,
                after.threads, before.handles, after.handles, unsigned(before.heapBytes), unsigned(after.heapBytes),
                unsigned(before.committedBytes), unsigned(after.committedBytes));
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.handles, before.handles + 2);
    // A leak of one small record per cycle would add 1000 of them.
    EXPECT_LT(after.heapBytes, before.heapBytes + 16 * 1024);
    EXPECT_LT(after.committedBytes, before.committedBytes + 1024 * 1024);
}
