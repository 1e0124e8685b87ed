// Handhelds over real TCP connections attached to the echo plug-in DLL: the
// whole road a packet takes (socket reader, plug-in thread stream, the
// plug-in's thread, the user's reply thread, the socket again), admission by
// RUID and pairing, and a load of many handhelds at once.
// NORVANE_TEST_USES_HUB_PORTS: the hub binds 4343 and 4242.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "framework/handles.h"
#include "framework/thread.h"
#include "loopback_client.h"
#include "message_box_watcher.h"
#include "plugin_dir.h"
#include "routing/connect_request.h"
#include "stream/packet.h"
#include "test_hub.h"

namespace {

using Bytes = std::vector<uint8_t>;
const unsigned kUserPort = 4343;
const Bytes kAccepted = {3, 0, 0};
const uint8_t kDataCommand = 0x40;

Bytes Request(const std::string &ruid, const std::string &plugin, const std::string &user) {
    Bytes payload = EncodeConnectPayload(ruid, plugin, user, 1);
    return EncodePacket(NV_CMD_CONNECT_REQUEST, payload.data(), payload.size());
}

Bytes Data(const std::string &text) { return EncodePacket(kDataCommand, text.data(), text.size()); }

class TcpRouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Add("EchoPlugin.dll", "Echo.dll"));
        hub = std::make_unique<TestHub>();
        ASSERT_TRUE(hub->Alive());
        // Another hub on this machine (a system test) may hold the port; the
        // listening sockets' own tests cover a hub that cannot bind it.
        if (!(*hub)->m_pUserListener) GTEST_SKIP() << "port 4343 is held by another program";
    }
    void TearDown() override { hub.reset(); }

    std::unique_ptr<LoopbackClient> Attach(const std::string &ruid, const std::string &name) {
        auto client = std::make_unique<LoopbackClient>(kUserPort);
        EXPECT_TRUE(client->Connected());
        client->Send(Request(ruid, "Echo", name));
        EXPECT_EQ(client->Receive(3, 5000), kAccepted) << ruid;
        return client;
    }
    ListNode *Node(const std::string &ruid) {
        int32_t uid = (*hub)->m_listModel.findIndexByRUID(ruid.c_str());
        return uid ? (*hub)->m_listModel.getNode(uid) : nullptr;
    }

    WinsockSession winsock;
    MessageBoxWatcher boxes;
    PluginDir dir;  // on the DLL search path, so "Echo" loads by name
    std::unique_ptr<TestHub> hub;
};

TEST_F(TcpRouterTest, PairedHandheldTalksToTheEchoPlugin) {
    (*hub)->m_bPairing = TRUE;
    auto client = Attach("PALM-T1", "Tina");
    for (const char *text : {"", "a", "hello, plug-in"}) {
        ASSERT_TRUE(client->Send(Data(text)));
        EXPECT_EQ(client->Receive(Data(text).size(), 3000), Data(text));
    }
    ListNode *node = Node("PALM-T1");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->state, kNodeConnected);
    EXPECT_EQ(node->connectionText, "127.0.0.1");
    EXPECT_EQ(node->userName, "Tina");
    ASSERT_NE(node->user, nullptr);
    EXPECT_STREQ(node->user->userInfo.userName, "Tina");
    EXPECT_NE(node->user->userInfo.replyThreadId, 0u);

    // Gone: the node stays, disconnected and without a user.
    client->Close();
    ASSERT_TRUE(PumpUntil([&] { return (*hub)->m_connections.empty(); }, 5000));
    node = Node("PALM-T1");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->state, kNodeDisconnected);
    EXPECT_EQ(node->user, nullptr);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(TcpRouterTest, OnlyKnownHandheldsOutsidePairing) {
    (*hub)->m_bPairing = TRUE;
    auto known = Attach("PALM-K", "Kim");
    int32_t uid = (*hub)->m_listModel.findIndexByRUID("PALM-K");
    known->Close();
    ASSERT_TRUE(PumpUntil([&] { return (*hub)->m_connections.empty(); }, 5000));
    (*hub)->m_bPairing = FALSE;

    LoopbackClient stranger(kUserPort);
    ASSERT_TRUE(stranger.Send(Request("PALM-X", "Echo", "Xan")));
    EXPECT_TRUE(stranger.Receive(3, 700).empty());  // no answer at all
    ASSERT_TRUE(stranger.Send(Data("anyone?")));
    EXPECT_TRUE(stranger.Receive(1, 500).empty());  // and nothing is forwarded
    EXPECT_EQ((*hub)->m_listModel.GetCount(), 1);

    // The known handheld comes back into its own node.
    auto back = Attach("PALM-K", "Kim");
    EXPECT_EQ((*hub)->m_listModel.findIndexByRUID("PALM-K"), uid);
    EXPECT_EQ((*hub)->m_listModel.GetCount(), 1);
    ASSERT_NE(Node("PALM-K"), nullptr);
    EXPECT_EQ(Node("PALM-K")->state, kNodeConnected);
    ASSERT_TRUE(back->Send(Data("again")));
    EXPECT_EQ(back->Receive(Data("again").size(), 3000), Data("again"));
}

// --- Load: many handhelds on their own threads, plain blocking sockets.

const int kHandhelds = 50;
const int kPacketsEach = 1000;
const int kWindow = 8;  // packets a handheld has in flight

// Mixed sizes: mostly small, some near a TCP segment, now and then a large one.
size_t PayloadSize(int user, int seq) {
    uint32_t x = static_cast<uint32_t>(user * 7919 + seq * 104729) * 2654435761u;
    if (seq % 97 == 13) return 20000 + (x >> 28);
    return (x >> 8) % 1500;
}

Bytes LoadPacket(int user, int seq) {
    Bytes payload(PayloadSize(user, seq));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(user * 31 + seq * 7 + i);
    if (payload.size() >= 4) {
        payload[0] = static_cast<uint8_t>(seq);
        payload[1] = static_cast<uint8_t>(seq >> 8);
        payload[2] = static_cast<uint8_t>(user);
    }
    return EncodePacket(kDataCommand, payload.data(), payload.size());
}

class LoadHandheld {
public:
    explicit LoadHandheld(int index) : m_index(index) {}
    bool Start() { return m_thread.Start(Main, this); }
    void Join() { m_thread.Join(); }
    std::atomic<bool> done{false};
    std::string failure;  // empty when every packet came back in order; read after Join

private:
    static DWORD WINAPI Main(void *self) {
        auto *h = static_cast<LoadHandheld *>(self);
        h->failure = h->Run();
        h->done = true;
        return 0;
    }
    bool SendAll(const Bytes &bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            int n = ::send(m_socket.Get(), reinterpret_cast<const char *>(bytes.data() + at),
                           static_cast<int>(bytes.size() - at), 0);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    bool ReceiveAll(uint8_t *out, size_t count) {
        while (count) {
            int n = ::recv(m_socket.Get(), reinterpret_cast<char *>(out), static_cast<int>(count), 0);
            if (n <= 0) return false;
            out += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    bool ReceivePacket(Bytes *packet) {
        packet->resize(3);
        if (!ReceiveAll(packet->data(), 3)) return false;
        size_t length = PacketShortLength(packet->data());
        packet->resize(3 + length);
        return ReceiveAll(packet->data() + 3, length);
    }
    std::string Run() {
        m_socket.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        DWORD timeout = 20000;
        ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(kUserPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_socket.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return "connect failed";
        std::string ruid = "LOAD-" + std::to_string(m_index);
        Bytes answer;
        if (!SendAll(Request(ruid, "Echo", "Load" + std::to_string(m_index))) || !ReceivePacket(&answer) ||
            answer != kAccepted)
            return "not accepted";
        int sent = 0;
        for (int received = 0; received < kPacketsEach; ++received) {
            while (sent < kPacketsEach && sent - received < kWindow)
                if (!SendAll(LoadPacket(m_index, sent++))) return "send failed at " + std::to_string(sent - 1);
            Bytes packet;
            if (!ReceivePacket(&packet)) return "nothing more after " + std::to_string(received);
            if (packet != LoadPacket(m_index, received)) return "packet " + std::to_string(received) + " differs";
        }
        // Nothing extra may follow: no duplicates.
        timeout = 300;
        ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        uint8_t extra;
        if (::recv(m_socket.Get(), reinterpret_cast<char *>(&extra), 1, 0) > 0) return "extra bytes after the last";
        return "";
    }

    int m_index;
    fw::Socket m_socket;
    fw::Thread m_thread;
};

TEST_F(TcpRouterTest, FiftyHandheldsGetEveryPacketBackInOrder) {
    (*hub)->m_bPairing = TRUE;
    std::vector<std::unique_ptr<LoadHandheld>> handhelds;
    DWORD start = ::GetTickCount();
    for (int i = 0; i < kHandhelds; ++i) {
        handhelds.push_back(std::make_unique<LoadHandheld>(i));
        ASSERT_TRUE(handhelds.back()->Start());
        PumpFor(5);  // the listening socket's backlog is short: let the hub accept
    }
    auto allDone = [&] {
        for (auto &h : handhelds)
            if (!h->done) return false;
        return true;
    };
    EXPECT_TRUE(PumpUntil(allDone, 90000));
    DWORD elapsed = ::GetTickCount() - start;
    for (auto &h : handhelds) {
        if (!h->done) continue;  // a stuck one is reported above; never join it
        h->Join();
        EXPECT_EQ(h->failure, "");
    }
    EXPECT_EQ((*hub)->m_listModel.GetCount(), kHandhelds);
    printf("%d handhelds x %d packets: %lu ms\n", kHandhelds, kPacketsEach, static_cast<unsigned long>(elapsed));
    EXPECT_TRUE(boxes.Texts().empty());
    if (!allDone()) {
        fflush(stdout);
        ::ExitProcess(1);  // threads still blocked in recv must not run on into teardown
    }
    handhelds.clear();  // closes every socket
    EXPECT_TRUE(PumpUntil([&] { return (*hub)->m_connections.empty(); }, 10000));
}

}  // namespace
