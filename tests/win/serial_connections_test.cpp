// Serial connections in a real hub window: adding a COM port, refusing one
// that cannot or must not be opened, beacons from the hub's timer, and
// removal of serial and network connections. NORVANE_TEST_USES_HUB_PORTS:
// the hub window binds its fixed ports. Needs the pty pairs of
// tests/system/serial_ports_test.py, which runs it.
// NORVANE_TEST_RUN_BY_SYSTEM_TEST: no CTest entry of its own.
#include <gtest/gtest.h>
#include <windows.h>
#include "memory_stream.h"
#include "message_box_watcher.h"
#include "serial_handheld.h"
#include "test_hub.h"
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "stream/packet.h"
#include "stream/serial_stream.h"

namespace {

const int kPortWithoutDevice = 98;
const SerialBytes kBeacon = {1, 0, 0};
const SerialBytes kEcho = {5, 0, 0};

class SerialConnectionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<SerialPair> pairs = SerialPairs();
        if (pairs.empty()) GTEST_SKIP() << "needs pty pairs from tests/system/serial_ports_test.py";
        m_port = pairs.front().hubPort;
        m_handheld.reset(new SerialHandheld(pairs.front().handheldPort));
        ASSERT_TRUE(m_handheld->IsOpen());
        // Made only now: a skipped run must not hold the hub's ports.
        m_hub.reset(new TestHub);
        ASSERT_TRUE(m_hub->Alive());
    }

    bool HasValue(const std::string &name) {
        HKEY key;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, m_hub->SettingsPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        LONG r = ::RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
        ::RegCloseKey(key);
        return r == ERROR_SUCCESS;
    }
    DWORD DwordValue(const std::string &name) {
        DWORD value = 0, size = sizeof value, type = 0;
        HKEY key;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, m_hub->SettingsPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return 0;
        ::RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
        ::RegCloseKey(key);
        return type == REG_DWORD ? value : 0;
    }
    std::string Name(const char *format) {
        char text[32];
        snprintf(text, sizeof text, format, m_port);
        return text;
    }
    CHubFrame *Hub() const { return m_hub->Get(); }
    CUserConnection *Connection(int id) {
        auto it = Hub()->m_connections.find(id);
        return it == Hub()->m_connections.end() ? nullptr : it->second;
    }
    void AddPort() {
        ASSERT_TRUE(Hub()->AddSerialPort(m_port));
        ASSERT_EQ(kBeacon, m_handheld->Receive(3, 2000));
    }

    std::unique_ptr<TestHub> m_hub;
    int m_port = 0;
    std::unique_ptr<SerialHandheld> m_handheld;
};

TEST_F(SerialConnectionsTest, AddedPortIsFiledRecordedAndListed) {
    AddPort();
    CUserConnection *connection = Connection(m_port);
    ASSERT_NE(nullptr, connection);
    EXPECT_EQ(m_port, static_cast<int>(connection->userInfo.id));
    EXPECT_EQ(-1, connection->pluginIndex);
    ASSERT_NE(nullptr, connection->stream);
    EXPECT_EQ(m_port, connection->stream->GetPortNumber());
    EXPECT_EQ(static_cast<DWORD>(m_port), DwordValue(Name("PortUser%d")));

    int32_t uid = Hub()->m_listModel.findNodeIDfromPort(m_port);
    ListNode *node = Hub()->m_listModel.getNode(uid);
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(connection, node->user);
    EXPECT_EQ(m_port, node->comPort);
    EXPECT_EQ("None", node->userName);
    EXPECT_EQ(kNodeSearching, node->state);
    EXPECT_EQ(Name("COM%d"), node->connectionText);

    // The event thread reads: an echo comes back.
    ASSERT_TRUE(m_handheld->Send(kEcho));
    EXPECT_EQ(kEcho, m_handheld->Receive(3, 2000));
}

TEST_F(SerialConnectionsTest, BeaconsOnlyWhileNoPlugInIsAttached) {
    AddPort();
    SerialBytes unattached = m_handheld->ReceiveFor(2500);
    EXPECT_GE(CountBeacons(unattached), 2);
    EXPECT_LE(CountBeacons(unattached), 3);
    EXPECT_EQ(unattached.size(), 3u * CountBeacons(unattached));

    CStream *stream = Connection(m_port)->stream;
    CMemoryStream plugin;
    stream->SetPeer(&plugin);
    EXPECT_EQ(0, CountBeacons(m_handheld->ReceiveFor(2200)));

    stream->SetPeer(nullptr);
    EXPECT_EQ(kBeacon, m_handheld->Receive(3, 1300));
}

TEST_F(SerialConnectionsTest, PortAlreadyOpenFailsAndTheOpenOneIsUnchanged) {
    AddPort();
    CUserConnection *connection = Connection(m_port);
    CStream *stream = connection->stream;
    {
        MessageBoxWatcher boxes;
        EXPECT_FALSE(Hub()->AddSerialPort(m_port));
        ASSERT_EQ(1u, boxes.Count());
        EXPECT_EQ("Couldn't open " + Name("COM%d"), boxes.Texts()[0]);
    }
    EXPECT_EQ(1u, Hub()->m_connections.size());
    EXPECT_EQ(connection, Connection(m_port));
    EXPECT_EQ(stream, connection->stream);
    // Nothing was opened: no second greeting, and exactly one reader answers.
    ASSERT_TRUE(m_handheld->Send(kEcho));
    EXPECT_EQ(kEcho, m_handheld->ReceiveFor(300));
}

TEST_F(SerialConnectionsTest, PortsThatCannotBeConnectionsFailNamingThePort) {
    MessageBoxWatcher boxes;
    EXPECT_FALSE(Hub()->AddSerialPort(kPortWithoutDevice));
    EXPECT_FALSE(Hub()->AddSerialPort(0));
    EXPECT_FALSE(Hub()->AddSerialPort(100));
    ASSERT_TRUE(boxes.WaitForCount(3, 2000));
    std::vector<std::string> texts = boxes.Texts();
    EXPECT_EQ("Couldn't open COM98", texts[0]);
    EXPECT_EQ("Couldn't open COM0", texts[1]);
    EXPECT_EQ("Couldn't open COM100", texts[2]);
    EXPECT_TRUE(Hub()->m_connections.empty());
    EXPECT_FALSE(HasValue("PortUser98"));
    EXPECT_EQ(0, Hub()->m_listModel.GetCount());
}

TEST_F(SerialConnectionsTest, RemovalDeletesValuesClosesThePortAndAllowsReAdding) {
    AddPort();
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER, m_hub->SettingsPath().c_str(), 0, KEY_WRITE, &key));
    ::RegSetValueExA(key, Name("NameUser%d").c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2);
    ::RegCloseKey(key);

    HANDLE port = Connection(m_port)->stream->GetPortHandle();
    Hub()->RemoveConnection(m_port);
    EXPECT_EQ(nullptr, Connection(m_port));
    DWORD flags;
    EXPECT_FALSE(::GetHandleInformation(port, &flags)) << "the port handle is still open";
    EXPECT_FALSE(HasValue(Name("PortUser%d")));
    EXPECT_FALSE(HasValue(Name("NameUser%d")));
    // Gone: the timer's beacons stop.
    EXPECT_TRUE(m_handheld->ReceiveFor(1500).empty());

    AddPort();
    EXPECT_EQ(static_cast<DWORD>(m_port), DwordValue(Name("PortUser%d")));
    ASSERT_TRUE(m_handheld->Send(kEcho));
    EXPECT_EQ(kEcho, m_handheld->Receive(3, 2000));
}

TEST_F(SerialConnectionsTest, NetworkUserRemovalLeavesItsRowDisconnected) {
    auto *connection = new CUserConnection(nullptr, 100, 100, -1);
    connection->stream = new CMemoryStream(&connection->userInfo);
    Hub()->m_connections[100] = connection;
    int32_t uid = Hub()->m_listModel.addItem(connection);
    Hub()->m_listModel.getNode(uid)->state = kNodeConnected;

    Hub()->RemoveConnection(100);
    EXPECT_EQ(nullptr, Connection(100));
    ListNode *node = Hub()->m_listModel.getNode(uid);
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(kNodeDisconnected, node->state);
    EXPECT_EQ(nullptr, node->user);
}

}  // namespace
