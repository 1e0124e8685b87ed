// The hub window's commands, timer and shutdown, on a real hidden window.
// NORVANE_TEST_USES_HUB_PORTS: the hub binds its fixed ports.
#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>
#include "app/hub_frame.h"
#include "inert_stream.h"
#include "app/hub_messages.h"
#include "app/user_connection.h"
#include "stream/stream.h"
#include "test_hub.h"

namespace {

// A stream that only counts what the hub does to it.
class ProbeStream : public CInertStream {
public:
    ProbeStream(UserInfo *user, std::vector<std::string> *journal, const std::string &name)
        : CInertStream(user), m_journal(journal), m_name(name) {}
    ~ProbeStream() override { m_journal->push_back(m_name + " destroyed"); }
    void RemoveUser(UserInfo *user) override {
        m_journal->push_back(m_name + " lost user " + std::to_string(user->id));
    }
    void SendBeacon() override { ++beacons; }
    std::atomic<int> beacons{0};

private:
    std::vector<std::string> *m_journal;
    std::string m_name;
};

CUserConnection *AddProbeConnection(CHubFrame *hub, int id, std::vector<std::string> *journal) {
    auto *connection = new CUserConnection(nullptr, id, id, -1);
    connection->stream = new ProbeStream(&connection->userInfo, journal, "user" + std::to_string(id));
    hub->m_connections[id] = connection;
    return connection;
}

bool IsVisibleTopLevel(const char *title) {
    HWND h = ::FindWindowA(nullptr, title);
    return h && ::IsWindowVisible(h);
}

}  // namespace

TEST(HubFrame, ShowCommandsSwapTheTwoDialogs) {
    TestHub hub;
    ASSERT_TRUE(hub.Alive());
    EXPECT_FALSE(::IsWindowVisible(hub.Window()));
    ::SendMessageA(hub.Window(), WM_COMMAND, ID_VIEW_ON_PALM, 0);
    EXPECT_TRUE(IsVisibleTopLevel("View on Palm"));
    EXPECT_FALSE(IsVisibleTopLevel("Norvane"));
    ::SendMessageA(hub.Window(), WM_COMMAND, ID_SHOW_MAIN, 0);
    EXPECT_TRUE(IsVisibleTopLevel("Norvane"));
    EXPECT_FALSE(IsVisibleTopLevel("View on Palm"));
    EXPECT_FALSE(::IsWindowVisible(hub.Window()));  // the hub window itself never shows
}

TEST(HubFrame, TimerBeaconsOnlyStreamsWithoutPeer) {
    TestHub hub;
    std::vector<std::string> journal;
    CUserConnection *idle = AddProbeConnection(hub.Get(), 3, &journal);
    CUserConnection *attached = AddProbeConnection(hub.Get(), 4, &journal);
    ProbeStream plugin(nullptr, &journal, "plugin");
    attached->stream->SetPeer(&plugin);

    auto *idleStream = static_cast<ProbeStream *>(idle->stream);
    auto *attachedStream = static_cast<ProbeStream *>(attached->stream);
    ASSERT_TRUE(PumpUntil([&] { return idleStream->beacons >= 1; }, 2500));
    EXPECT_EQ(attachedStream->beacons, 0);

    attached->stream->SetPeer(nullptr);  // detached: beacons start again within a second
    ASSERT_TRUE(PumpUntil([&] { return attachedStream->beacons >= 1; }, 1500));
    attached->stream->SetPeer(&plugin);
    hub.Close();
}

TEST(HubFrame, ShutdownDetachesEveryUserBeforeItsStreamGoes) {
    TestHub hub;
    std::vector<std::string> journal;
    CUserConnection *connection = AddProbeConnection(hub.Get(), 7, &journal);
    ProbeStream plugin(nullptr, &journal, "plugin");
    connection->stream->SetPeer(&plugin);
    hub.Close();
    EXPECT_EQ(journal, (std::vector<std::string>{"plugin lost user 7", "user7 destroyed"}));
    EXPECT_EQ(::FindWindowA(nullptr, "Norvane Test Frame"), nullptr);
}

BOOL CALLBACK CountAboutWindows(HWND h, LPARAM count) {
    char title[64];
    ::GetWindowTextA(h, title, sizeof title);
    if (strcmp(title, "About Norvane") == 0) ++*reinterpret_cast<int *>(count);
    return TRUE;
}

TEST(HubFrame, SecondAboutCommandRaisesTheOpenOne) {
    TestHub hub;
    HWND hubWnd = hub.Window();
    int aboutWindows = -1;
    // The About box is modal on this thread; look at it from another one.
    std::thread watcher([&] {
        HWND about = nullptr;
        for (int i = 0; i < 300 && !about; ++i, ::Sleep(10)) about = ::FindWindowA(nullptr, "About Norvane");
        ::SendMessageA(hubWnd, WM_COMMAND, ID_APP_ABOUT, 0);  // a second About must not nest
        int count = 0;
        ::EnumWindows(CountAboutWindows, reinterpret_cast<LPARAM>(&count));
        aboutWindows = count;
        if (about) ::PostMessageA(about, WM_COMMAND, IDOK, 0);
    });
    ::SendMessageA(hubWnd, WM_COMMAND, ID_APP_ABOUT, 0);  // returns when the box closes
    watcher.join();
    EXPECT_EQ(aboutWindows, 1);
    EXPECT_EQ(hub->m_pAboutDlg, nullptr);
}

TEST(HubFrame, ClosingWhileTheAboutBoxIsOpenWaitsForItToUnwind) {
    TestHub hub;
    HWND hubWnd = hub.Window();
    std::thread watcher([&] {
        HWND about = nullptr;
        for (int i = 0; i < 300 && !about; ++i, ::Sleep(10)) about = ::FindWindowA(nullptr, "About Norvane");
        ::PostMessageA(hubWnd, WM_CLOSE, 0, 0);  // handled inside the About box's loop
        for (int i = 0; i < 300 && ::IsWindow(hubWnd); ++i) ::Sleep(10);
        if (about) ::PostMessageA(about, WM_COMMAND, IDOK, 0);
    });
    ::SendMessageA(hubWnd, WM_COMMAND, ID_APP_ABOUT, 0);
    watcher.join();
    EXPECT_FALSE(::IsWindow(hubWnd));
    EXPECT_FALSE(hub.Alive());
}
