// The connect handshake on a real hub window, with user streams that record
// what the router does to them and plug-ins that record what reaches them.
//
// In-process plug-ins here are threads of the test with catalogue records
// of their own; two records can share one thread so that the order of
// detach and attach across two plug-ins shows as the order of one queue.
// Network plug-ins are records whose stream records AddUser and RemoveUser
// on the hub window's thread, in order with the user stream's writes.
// NORVANE_TEST_USES_HUB_PORTS: the hub window binds its fixed ports.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "app/hub_frame.h"
#include "inert_stream.h"
#include "app/hub_messages.h"
#include "app/user_connection.h"
#include "framework/sync.h"
#include "framework/thread.h"
#include "message_box_watcher.h"
#include "plugin_dir.h"
#include "routing/connect_request.h"
#include "routing/plugin_record.h"
#include "stream/packet.h"
#include "stream/stream.h"
#include "test_hub.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
const Bytes kAccepted = {3, 0, 0};
const Bytes kFailed = {4, 0, 0};

class Journal {
public:
    void Add(const std::string &event) {
        fw::Lock lock(m_cs);
        m_events.push_back(event);
    }
    Events Get() const {
        fw::Lock lock(m_cs);
        return m_events;
    }
    void Clear() {
        fw::Lock lock(m_cs);
        m_events.clear();
    }

private:
    mutable fw::CriticalSection m_cs;
    Events m_events;
};

std::string Hex(const uint8_t *bytes, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

// A handheld's stream: CTS switches, answers and its own end go to the journal.
class ProbeUserStream : public CInertStream {
public:
    ProbeUserStream(UserInfo *user, Journal *journal, const std::string &description)
        : CInertStream(user), m_journal(journal) {
        SetDescription(description);
    }
    ~ProbeUserStream() override { m_journal->Add("user destroyed"); }
    void SetCtsFlowControl(BOOL on) override { m_journal->Add(on ? "cts on" : "cts off"); }
    int WritePacket(const uint8_t *packet, uint32_t) override {
        m_journal->Add("wrote " + Hex(packet, PacketSize(packet)));
        if (onWrite) onWrite();
        return static_cast<int>(PacketSize(packet));
    }
    std::function<void()> onWrite;  // runs inside WritePacket, on the writer's thread

private:
    Journal *m_journal;
};

// A network plug-in's stream, as far as the router sees it.
class ProbePluginSide : public CInertStream {
public:
    ProbePluginSide(const std::string &name, Journal *journal) : m_name(name), m_journal(journal) {}
    void AddUser(UserInfo *user, CStream *) override { m_journal->Add(m_name + " add " + std::to_string(user->id)); }
    void RemoveUser(UserInfo *user) override { m_journal->Add(m_name + " remove " + std::to_string(user->id)); }

private:
    std::string m_name;
    Journal *m_journal;
};

// An in-process plug-in's thread: keeps what it is told, in queue order.
struct PluginEvent {
    UINT message;
    const UserInfo *user;
    DWORD replyThreadId;  // as the UserInfo said on WM_PLUGIN_USER_ADDED
};

class RecordingPlugin : public fw::MessageThread {
public:
    RecordingPlugin() { Start(); }
    ~RecordingPlugin() override {
        PostQuit();
        Join();
    }
    std::vector<PluginEvent> Events() const {
        fw::Lock lock(m_cs);
        return m_events;
    }
    bool WaitForEvents(size_t n, DWORD timeoutMs = 3000) const {
        return PumpUntil([&] { return Events().size() >= n; }, timeoutMs);
    }

protected:
    void OnThreadMessage(const MSG &msg) override {
        auto *user = reinterpret_cast<const UserInfo *>(msg.wParam);
        fw::Lock lock(m_cs);
        switch (msg.message) {
        case WM_PLUGIN_USER_ADDED: m_events.push_back({msg.message, user, user->replyThreadId}); break;
        case WM_PLUGIN_USER_REMOVED: m_events.push_back({msg.message, user, 0}); break;
        case WM_PLUGIN_USER_PACKET:
            m_events.push_back({msg.message, user, 0});
            if (msg.lParam) ::GlobalFree(::GlobalHandle(reinterpret_cast<void *>(msg.lParam)));
            break;
        default: break;
        }
    }

private:
    mutable fw::CriticalSection m_cs;
    std::vector<PluginEvent> m_events;
};

Bytes ConnectPacket(const Bytes &payload) { return EncodePacket(NV_CMD_CONNECT_REQUEST, payload.data(), payload.size()); }

Bytes Request(const std::string &ruid, const std::string &plugin, const std::string &user = "Ann", int flags = -1) {
    return ConnectPacket(EncodeConnectPayload(ruid, plugin, user, flags));
}

// A hub window with helpers that file connections and plug-ins as the
// hub's own code would.
class HubFixture : public ::testing::Test {
protected:
    HubFixture() { m_startBoxes.reset(); }
    void SetUp() override { ASSERT_TRUE(hub.Alive()); }

    // An in-process plug-in record (a DLL's, as far as the hub can tell) on `plugin`'s thread.
    int AddInProcessPlugin(const std::string &name, RecordingPlugin &plugin) {
        PluginInfo info = {};
        info.threadId = plugin.Id();
        info.hThread = static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(plugin.Handle()));
        // Any loaded module will do; the record's unload only lowers its count.
        hub->AddPlugin(new CPluginRecord(name, info, nullptr, ::LoadLibraryA("kernel32.dll")));
        return hub->FindPlugin(name.c_str());
    }
    int AddNetworkPlugin(const std::string &name) {
        auto *record = new CPluginRecord();
        record->m_strName = name;
        record->m_pStream = new ProbePluginSide(name, &journal);
        hub->AddPlugin(record);
        return hub->FindPlugin(name.c_str());
    }
    CUserConnection *AddUser(int id, const std::string &description = "192.168.1.20") {
        auto *connection = new CUserConnection(nullptr, id, id, -1);
        connection->stream = new ProbeUserStream(&connection->userInfo, &journal, description);
        hub->m_connections[id] = connection;
        return connection;
    }
    // A serial connection as AddSerialPort lists it.
    CUserConnection *AddSerialUser(int port) {
        CUserConnection *connection = AddUser(port, "COM" + std::to_string(port));
        ListNode *node = hub->m_listModel.getNode(hub->m_listModel.addItem(connection));
        node->comPort = port;
        node->userName = "None";
        node->state = kNodeSearching;
        node->connectionText = "COM" + std::to_string(port);
        return connection;
    }
    LRESULT Send(CUserConnection *connection, const Bytes &packet) {
        return ::SendMessageA(hub.Window(), WM_STREAM_CONNECT, reinterpret_cast<WPARAM>(&connection->userInfo),
                              reinterpret_cast<LPARAM>(packet.data()));
    }
    ProbeUserStream *Stream(CUserConnection *connection) {
        return static_cast<ProbeUserStream *>(connection->stream);
    }
    ListNode *NodeOf(CUserConnection *connection) {
        int32_t uid = hub->m_listModel.findNodeIDfromUser(connection);
        return uid ? hub->m_listModel.getNode(uid) : nullptr;
    }

    RecordingPlugin pluginThread;  // outlives the hub, whose records wait for it
    Journal journal;
    // A port held elsewhere shows a box while the hub is made; these tests
    // need no port, but must not hang on it.
    std::unique_ptr<MessageBoxWatcher> m_startBoxes = std::make_unique<MessageBoxWatcher>();
    TestHub hub;
};

class RouterTest : public HubFixture {
protected:
    MessageBoxWatcher boxes;  // none is expected; a stray one must not hang the test
};

TEST_F(RouterTest, FlagsSwitchCtsAndReachThePlugin) {
    int echo = AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddSerialUser(3);
    struct Case { int flags; bool ctsOff; uint8_t userFlag; } cases[] = {{-1, false, 0}, {0, true, 0}, {2, true, 1}, {3, false, 1}};
    for (const Case &c : cases) {
        journal.Clear();
        EXPECT_EQ(Send(user, Request("", "Echo", "Ann", c.flags)), 1);
        Events expected;
        if (c.ctsOff) expected.push_back("cts off");
        expected.push_back("wrote 03 00 00");
        EXPECT_EQ(journal.Get(), expected) << "flags " << c.flags;
        EXPECT_EQ(user->userInfo.flags, c.userFlag) << "flags " << c.flags;
        EXPECT_EQ(user->pluginIndex, echo);
    }
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(RouterTest, PluginNamesIgnoreLetterCase) {
    int echo = AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddSerialUser(4);
    EXPECT_EQ(Send(user, Request("", "eCHO")), 1);
    EXPECT_EQ(user->pluginIndex, echo);
    EXPECT_EQ(hub->m_plugins.size(), 1u);  // found, nothing loaded
    EXPECT_EQ(journal.Get(), Events{"wrote 03 00 00"});
    ASSERT_TRUE(pluginThread.WaitForEvents(1));
    EXPECT_EQ(pluginThread.Events()[0].message, WM_PLUGIN_USER_ADDED);
}

TEST_F(RouterTest, AnotherPluginDetachesBeforeItAttaches) {
    // Both records post to one thread: its queue shows the order of both.
    int a = AddInProcessPlugin("Alpha", pluginThread);
    int b = AddInProcessPlugin("Beta", pluginThread);
    CUserConnection *user = AddSerialUser(5);
    Send(user, Request("", "Alpha"));
    DWORD firstReply = user->userInfo.replyThreadId;
    EXPECT_EQ(user->pluginIndex, a);
    Send(user, Request("", "Beta"));
    EXPECT_EQ(user->pluginIndex, b);
    ASSERT_TRUE(pluginThread.WaitForEvents(3));
    std::vector<PluginEvent> events = pluginThread.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].message, WM_PLUGIN_USER_ADDED);
    EXPECT_EQ(events[1].message, WM_PLUGIN_USER_REMOVED);
    EXPECT_EQ(events[2].message, WM_PLUGIN_USER_ADDED);
    for (const PluginEvent &e : events) EXPECT_EQ(e.user, &user->userInfo);
    EXPECT_EQ(events[0].replyThreadId, firstReply);
    EXPECT_NE(events[2].replyThreadId, firstReply);
    EXPECT_EQ(events[2].replyThreadId, user->userInfo.replyThreadId);
    EXPECT_NE(firstReply, 0u);
}

TEST_F(RouterTest, SamePluginAgainIsDetachThenAttach) {
    AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddSerialUser(6);
    Send(user, Request("", "Echo"));
    Send(user, Request("", "echo"));
    ASSERT_TRUE(pluginThread.WaitForEvents(3));
    std::vector<PluginEvent> events = pluginThread.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].message, WM_PLUGIN_USER_REMOVED);
    EXPECT_EQ(events[2].message, WM_PLUGIN_USER_ADDED);
    EXPECT_EQ(events[2].user, &user->userInfo);
    EXPECT_EQ(journal.Get(), (Events{"wrote 03 00 00", "wrote 03 00 00"}));
}

TEST_F(RouterTest, FailedLoadAnswersBeforeTheOldPluginLetsGo) {
    AddNetworkPlugin("Net");
    CUserConnection *user = AddUser(100);
    hub->m_bPairing = TRUE;
    Send(user, Request("R1", "Net"));
    journal.Clear();
    EXPECT_EQ(Send(user, Request("R1", "NoSuchPluginAnywhere")), 1);
    EXPECT_EQ(journal.Get(), (Events{"wrote 04 00 00", "Net remove 100"}));
    EXPECT_EQ(user->pluginIndex, -1);
    EXPECT_EQ(user->stream->GetPeer(), nullptr);
    // The handheld's node is left as it was.
    ASSERT_NE(NodeOf(user), nullptr);
    EXPECT_EQ(NodeOf(user)->state, kNodeConnected);
}

TEST_F(RouterTest, AcceptedGoesOutAfterAttachAndListUpdate) {
    AddNetworkPlugin("Net");
    CUserConnection *user = AddUser(100, "10.1.2.3");
    hub->m_bPairing = TRUE;
    Stream(user)->onWrite = [&] {
        ListNode *node = NodeOf(user);
        journal.Add(node ? std::string("node ") + StateText(node->state) + " " + node->connectionText : "no node");
    };
    Send(user, Request("R1", "Net"));
    EXPECT_EQ(journal.Get(), (Events{"Net add 100", "wrote 03 00 00", "node Connected 10.1.2.3"}));
    EXPECT_EQ(user->userInfo.replyThreadId, 0u);  // network plug-ins have no reply thread
    EXPECT_NE(user->stream->GetPeer(), nullptr);
}

TEST_F(RouterTest, EmptyNameOnSerialUserSearchesWithoutAnswer) {
    AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *fresh = AddSerialUser(7);
    EXPECT_EQ(Send(fresh, Request("", "", "Ann", 1)), 1);
    EXPECT_TRUE(journal.Get().empty());
    EXPECT_EQ(NodeOf(fresh)->state, kNodeSearching);

    CUserConnection *attached = AddSerialUser(8);
    Send(attached, Request("", "Echo"));
    EXPECT_EQ(NodeOf(attached)->state, kNodeConnected);
    journal.Clear();
    Send(attached, Request("", ""));
    EXPECT_TRUE(journal.Get().empty());
    EXPECT_EQ(NodeOf(attached)->state, kNodeSearching);
    EXPECT_EQ(attached->stream->GetPeer(), nullptr);
    EXPECT_EQ(attached->pluginIndex, -1);
    ASSERT_TRUE(pluginThread.WaitForEvents(2));
    EXPECT_EQ(pluginThread.Events()[1].message, WM_PLUGIN_USER_REMOVED);
}

TEST_F(RouterTest, UnknownHandheldOnlyDuringPairing) {
    int echo = AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddUser(100, "10.0.0.9");
    // Outside pairing: refused without an answer; only the user name sticks.
    EXPECT_EQ(Send(user, Request("PALM-1", "Echo", "Bob")), 1);
    EXPECT_TRUE(journal.Get().empty());
    EXPECT_EQ(hub->m_listModel.GetCount(), 0);
    EXPECT_STREQ(user->userInfo.userName, "Bob");
    EXPECT_EQ(user->pluginIndex, -1);

    hub->m_bPairing = TRUE;
    Send(user, Request("PALM-1", "Echo", "Bob"));
    EXPECT_EQ(journal.Get(), Events{"wrote 03 00 00"});
    ASSERT_EQ(hub->m_listModel.GetCount(), 1);
    ListNode *node = hub->m_listModel.ElementAt(0);
    EXPECT_EQ(node->user, user);
    EXPECT_EQ(node->ruid, "PALM-1");
    EXPECT_EQ(node->comPort, 0);
    EXPECT_EQ(node->state, kNodeConnected);
    EXPECT_EQ(node->connectionText, "10.0.0.9");
    EXPECT_EQ(node->userName, "Bob");
    EXPECT_EQ(user->pluginIndex, echo);

    // Known now, so it stays admitted after pairing; refusal drops the attachment.
    hub->m_bPairing = FALSE;
    journal.Clear();
    Send(user, Request("PALM-2", "Echo"));
    EXPECT_TRUE(journal.Get().empty());
    EXPECT_EQ(user->stream->GetPeer(), nullptr);
    EXPECT_EQ(hub->m_listModel.GetCount(), 1);
}

TEST_F(RouterTest, KnownHandheldComesBackIntoItsNode) {
    AddInProcessPlugin("Echo", pluginThread);
    hub->m_bPairing = TRUE;
    CUserConnection *first = AddUser(100);
    Send(first, Request("PALM-1", "Echo"));
    int32_t uid = hub->m_listModel.findIndexByRUID("PALM-1");
    ASSERT_NE(uid, 0);
    hub->m_bPairing = FALSE;
    ::SendMessageA(hub.Window(), WM_STREAM_CLOSED, reinterpret_cast<WPARAM>(&first->userInfo), 0);
    EXPECT_EQ(hub->m_connections.count(100), 0u);
    EXPECT_EQ(hub->m_listModel.getNode(uid)->state, kNodeDisconnected);

    CUserConnection *second = AddUser(101);
    journal.Clear();
    Send(second, Request("PALM-1", "Echo", "Ann"));
    EXPECT_EQ(journal.Get(), Events{"wrote 03 00 00"});
    EXPECT_EQ(hub->m_listModel.GetCount(), 1);
    EXPECT_EQ(hub->m_listModel.findNodeIDfromUser(second), uid);
    EXPECT_EQ(hub->m_listModel.getNode(uid)->state, kNodeConnected);
}

TEST_F(RouterTest, NamesWithoutTerminators) {
    AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddSerialUser(9);
    Bytes ruid(kRuidSize, 0);
    Bytes payload = ruid;
    for (char c : std::string("Echo")) payload.push_back(static_cast<uint8_t>(c));
    Send(user, ConnectPacket(payload));  // plug-in name to the end: no user name, flags 1
    EXPECT_EQ(journal.Get(), Events{"wrote 03 00 00"});
    EXPECT_STREQ(user->userInfo.userName, "None");
    EXPECT_EQ(user->userInfo.flags, 0);

    payload.push_back(0);
    for (char c : std::string("Carol")) payload.push_back(static_cast<uint8_t>(c));
    journal.Clear();
    Send(user, ConnectPacket(payload));  // user name to the end: flags still 1
    EXPECT_EQ(journal.Get(), Events{"wrote 03 00 00"});
    EXPECT_STREQ(user->userInfo.userName, "Carol");
}

TEST_F(RouterTest, UserNameRules) {
    AddInProcessPlugin("Echo", pluginThread);
    CUserConnection *user = AddSerialUser(10);
    Send(user, Request("", "Echo", ""));
    EXPECT_STREQ(user->userInfo.userName, "None");
    Send(user, Request("", "Echo", "Dana"));
    EXPECT_STREQ(user->userInfo.userName, "Dana");
    EXPECT_EQ(NodeOf(user)->userName, "Dana");
    Send(user, Request("", "Echo", ""));
    EXPECT_STREQ(user->userInfo.userName, "Dana");
    // Stored even when the request attaches to nothing.
    Send(user, Request("", "", "Eve"));
    EXPECT_STREQ(user->userInfo.userName, "Eve");
}

TEST_F(RouterTest, ShortPayloadIsRefusedLikeAnUnknownHandheld) {
    AddNetworkPlugin("Net");
    CUserConnection *user = AddUser(100);
    hub->m_bPairing = TRUE;
    Send(user, Request("R1", "Net", "Ann", 0));
    journal.Clear();
    Bytes tiny = {'N', 'e', 't', 0, 'Z', 0};  // shorter than a RUID
    EXPECT_EQ(Send(user, ConnectPacket(tiny)), 1);
    EXPECT_EQ(journal.Get(), Events{"Net remove 100"});  // no CTS change, no answer
    EXPECT_EQ(user->stream->GetPeer(), nullptr);
    EXPECT_STREQ(user->userInfo.userName, "Ann");
    EXPECT_EQ(hub->m_listModel.GetCount(), 1);
}

TEST_F(RouterTest, EscapedPacketIsReadFromItsRealPayload) {
    AddNetworkPlugin("Net");
    CUserConnection *user = AddUser(100);
    hub->m_bPairing = TRUE;
    Bytes payload = EncodeConnectPayload("R-ESC", "Net", "Fay", 2);
    Bytes packet = {NV_CMD_CONNECT_REQUEST, 0xFF, 0xFF, 0, 0, 0, 0};
    packet[3] = static_cast<uint8_t>(payload.size());
    packet.insert(packet.end(), payload.begin(), payload.end());
    Send(user, packet);
    EXPECT_EQ(journal.Get(), (Events{"cts off", "Net add 100", "wrote 03 00 00"}));
    EXPECT_STREQ(user->userInfo.userName, "Fay");
    EXPECT_NE(hub->m_listModel.findIndexByRUID("R-ESC"), 0);
}

TEST_F(RouterTest, RequestsForNoConnection) {
    UserInfo stranger = {};
    stranger.id = 142;
    Bytes packet = Request("", "Echo");
    EXPECT_EQ(::SendMessageA(hub.Window(), WM_STREAM_CONNECT, reinterpret_cast<WPARAM>(&stranger),
                             reinterpret_cast<LPARAM>(packet.data())),
              -1);
    EXPECT_EQ(::SendMessageA(hub.Window(), WM_STREAM_CLOSED, 0, 0), 0);
    // A closed report whose UserInfo is not the filed connection's removes nothing.
    CUserConnection *user = AddUser(142);
    ::SendMessageA(hub.Window(), WM_STREAM_CLOSED, reinterpret_cast<WPARAM>(&stranger), 0);
    EXPECT_EQ(hub->m_connections.count(142), 1u);
    (void)user;
}

TEST_F(RouterTest, DetachUserKeepsTheConnection) {
    int net = AddNetworkPlugin("Net");
    CUserConnection *user = AddUser(100);
    hub->m_bPairing = TRUE;
    Send(user, Request("R1", "Net"));
    journal.Clear();
    hub->DetachUser(user);
    EXPECT_EQ(journal.Get(), Events{"Net remove 100"});
    EXPECT_EQ(user->stream->GetPeer(), nullptr);
    EXPECT_EQ(user->pluginIndex, net);
    EXPECT_EQ(hub->m_connections.count(100), 1u);
    hub->DetachUser(user);  // nothing left to detach
    EXPECT_EQ(journal.Get(), Events{"Net remove 100"});
}

// A plug-in whose thread has gone: the first packet that cannot be posted
// ends the attachment, and the hub window detaches the user instead of
// letting each later packet vanish.
DWORD WINAPI EndsAtOnce(void *) { return 0; }

TEST_F(RouterTest, FailedPostToThePluginEndsTheAttachment) {
    fw::Thread gone;
    ASSERT_TRUE(gone.Start(EndsAtOnce, nullptr));
    ASSERT_TRUE(gone.Join(3000));
    PluginInfo info = {};
    info.threadId = gone.Id();
    hub->AddPlugin(new CPluginRecord("Gone", info, nullptr, ::LoadLibraryA("kernel32.dll")));
    CUserConnection *user = AddSerialUser(6);
    Send(user, Request("", "Gone"));
    ASSERT_NE(user->stream->GetPeer(), nullptr);
    Bytes data = {0x20, 1, 0, 'x'};
    user->stream->ForwardPacket(data.data(), 6);  // as the user's reader does
    EXPECT_TRUE(PumpUntil([&] { return user->stream->GetPeer() == nullptr; }, 3000));
    EXPECT_EQ(user->pluginIndex, -1);
}

// --- A connection removed while its own handshake waits in a message box.

// On its own thread: waits for the n-th message box, and on it removes the
// connection through the hub window (as a closed socket would) before
// pressing OK. Earlier boxes are only pressed.
class RemoveOnBox {
public:
    RemoveOnBox(HWND hub, UserInfo *user, int onBox) : m_hub(hub), m_user(user), m_onBox(onBox) {
        m_thread.Start(Main, this);
    }
    ~RemoveOnBox() { Finish(); }
    void Finish() { m_thread.Join(10000); }
    std::vector<std::string> texts;  // read after Finish

private:
    static DWORD WINAPI Main(void *self) {
        static_cast<RemoveOnBox *>(self)->Run();
        return 0;
    }
    void Run() {
        for (int seen = 0; seen < m_onBox;) {
            HWND box = nullptr;
            for (int i = 0; i < 500 && !box; ++i, ::Sleep(10)) box = ::FindWindowA("#32770", "Orlesk");
            if (!box) return;
            char text[512] = "";
            ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            texts.push_back(text);
            if (++seen == m_onBox) ::SendMessageA(m_hub, WM_STREAM_CLOSED, reinterpret_cast<WPARAM>(m_user), 0);
            ::SendMessageA(box, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 500 && ::IsWindow(box); ++i) ::Sleep(10);
        }
    }
    HWND m_hub;
    UserInfo *m_user;
    int m_onBox;
    fw::Thread m_thread;
};

// A network handheld whose RUID is empty meets a serial node (whose RUID is
// empty too) first: the list model shows a box on admission and another
// when the node is looked up for the attach.
class RouterNestedTest : public HubFixture {
protected:
    CUserConnection *PrepareEmptyRuidUser() {
        AddInProcessPlugin("Echo", pluginThread);
        AddSerialUser(3);
        hub->m_bPairing = TRUE;
        CUserConnection *user = AddUser(100);
        journal.Clear();
        return user;
    }
    // Runs a connect request while `onBox`-th box removes the connection.
    std::vector<std::string> SendAndRemoveOnBox(CUserConnection *user, const Bytes &packet, int onBox) {
        RemoveOnBox remover(hub.Window(), &user->userInfo, onBox);
        EXPECT_EQ(Send(user, packet), 1);
        remover.Finish();
        return remover.texts;
    }
};

const char kSerialRuidText[] =
    "ListModel::findIndexByRUID found RUID, but the connection type is Serial, logical assert failure";

TEST_F(RouterNestedTest, RemovedWhileAdmissionBoxIsOpen) {
    CUserConnection *user = PrepareEmptyRuidUser();
    EXPECT_EQ(SendAndRemoveOnBox(user, Request("", "Echo"), 1), std::vector<std::string>{kSerialRuidText});
    // Gone inside its box; nothing was written to it or attached for it afterwards.
    EXPECT_EQ(journal.Get(), Events{"user destroyed"});
    EXPECT_EQ(hub->m_connections.count(100), 0u);
    PumpFor(200);
    EXPECT_TRUE(pluginThread.Events().empty());
    EXPECT_EQ(::FindWindowA("#32770", "Orlesk"), nullptr);
}

TEST_F(RouterNestedTest, RemovedWhileAttachBoxIsOpen) {
    CUserConnection *user = PrepareEmptyRuidUser();
    const UserInfo *info = &user->userInfo;
    EXPECT_EQ(SendAndRemoveOnBox(user, Request("", "Echo"), 2),
              (std::vector<std::string>{kSerialRuidText, kSerialRuidText}));
    // Attached before the second box, detached by its removal, never answered.
    EXPECT_EQ(journal.Get(), Events{"user destroyed"});
    ASSERT_TRUE(pluginThread.WaitForEvents(2));
    std::vector<PluginEvent> events = pluginThread.Events();
    EXPECT_EQ(events[0].message, WM_PLUGIN_USER_ADDED);
    EXPECT_EQ(events[1].message, WM_PLUGIN_USER_REMOVED);
    EXPECT_EQ(events[1].user, info);
    for (int i = 0; i < hub->m_listModel.GetCount(); ++i) EXPECT_NE(hub->m_listModel.ElementAt(i)->user, user);
}

TEST_F(RouterNestedTest, RemovedWhileLoaderBoxIsOpen) {
    PluginDir dir;
    ASSERT_TRUE(dir.Add("FailingEntry.dll", "Failing.dll"));
    CUserConnection *user = AddUser(4, "COM4");
    EXPECT_EQ(SendAndRemoveOnBox(user, Request("", "Failing"), 1),
              std::vector<std::string>{"Couldn't load plugin Failing.dll"});
    // No CONNECT_FAILED to a connection that is gone.
    EXPECT_EQ(journal.Get(), Events{"user destroyed"});
    EXPECT_EQ(hub->m_connections.count(4), 0u);
}

// Every further empty-RUID request arrives inside the first one's box; none
// of them opens another box of the same text.
struct RepeatArgs {
    HWND hub;
    UserInfo *user;
    int boxes;
};

BOOL CALLBACK CountHubBox(HWND w, LPARAM n) {
    char cls[16] = "", title[16] = "";
    ::GetClassNameA(w, cls, sizeof cls);
    ::GetWindowTextA(w, title, sizeof title);
    if (!strcmp(cls, "#32770") && !strcmp(title, "Orlesk") && ::IsWindowVisible(w)) ++*reinterpret_cast<int *>(n);
    return TRUE;
}

DWORD WINAPI RepeatInsideBox(void *p) {
    auto *a = static_cast<RepeatArgs *>(p);
    HWND box = nullptr;
    for (int i = 0; i < 500 && !box; ++i, ::Sleep(10)) box = ::FindWindowA("#32770", "Orlesk");
    if (!box) return 0;
    Bytes packet = Request("", "Echo");
    for (int i = 0; i < 200; ++i)
        ::SendMessageA(a->hub, WM_STREAM_CONNECT, reinterpret_cast<WPARAM>(a->user),
                       reinterpret_cast<LPARAM>(packet.data()));
    ::EnumWindows(CountHubBox, reinterpret_cast<LPARAM>(&a->boxes));
    // Let the first request go on; later boxes of its own are pressed too.
    for (int round = 0; round < 20; ++round) {
        if (HWND open = ::FindWindowA("#32770", "Orlesk")) ::SendMessageA(open, WM_COMMAND, IDOK, 0);
        ::Sleep(20);
    }
    return 0;
}

TEST_F(RouterNestedTest, RepeatedRequestsInsideTheBoxOpenNoSecondBox) {
    CUserConnection *first = PrepareEmptyRuidUser();
    CUserConnection *second = AddUser(101);
    RepeatArgs args = {hub.Window(), &second->userInfo, 0};
    fw::Thread repeater;
    ASSERT_TRUE(repeater.Start(RepeatInsideBox, &args));
    EXPECT_EQ(Send(first, Request("", "Echo")), 1);
    repeater.Join(20000);
    EXPECT_EQ(args.boxes, 1);
}

}  // namespace
