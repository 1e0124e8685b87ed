// The link between a user and an in-process plug-in, with this test playing
// the plug-in's thread: what reaches the plug-in, what the hub does with
// what the plug-in posts, and that every packet buffer is freed on each
// path, including a stream destroyed while its thread still has work.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <vector>
#include "app/hub_messages.h"
#include "attached_user.h"
#include "framework/app.h"
#include "framework/sync.h"
#include "framework/thread.h"
#include "recording_window.h"
#include "stream/global_packet.h"
#include "stream/packet.h"
#include "stream/plugin_thread_stream.h"
#include "test_hub.h"
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include "stream/plugin_queue.h"

namespace {

struct PluginMessage {
    UINT message;
    WPARAM user;
    DWORD replyThreadId;  // USER_ADDED: the user's replyThreadId at that moment
    Bytes packet;         // USER_PACKET: the buffer's bytes
    SIZE_T bufferSize;    // USER_PACKET: the size of its global memory block
};

// A plug-in thread that keeps what it is told and frees what it receives.
class FakePlugin : public fw::MessageThread {
public:
    FakePlugin() : m_gate(::CreateEventA(nullptr, TRUE, TRUE, nullptr)) { Start(); }
    ~FakePlugin() override {
        Resume();
        PostQuit();
        Join();
        ::CloseHandle(m_gate);
    }
    // While paused the thread stops taking messages (it waits inside the
    // handling of the next user packet).
    void Pause() { ::ResetEvent(m_gate); }
    void Resume() { ::SetEvent(m_gate); }

    std::vector<PluginMessage> Messages() const {
        fw::Lock lock(m_cs);
        return m_messages;
    }
    bool WaitFor(size_t count, DWORD timeoutMs = 3000) const {
        DWORD start = ::GetTickCount();
        while (Messages().size() < count) {
            if (::GetTickCount() - start >= timeoutMs) return false;
            ::Sleep(2);
        }
        return true;
    }

protected:
    void OnThreadMessage(const MSG &msg) override {
        PluginMessage m{msg.message, msg.wParam, 0, {}, 0};
        if (msg.message == WM_PLUGIN_USER_ADDED)
            m.replyThreadId = reinterpret_cast<UserInfo *>(msg.wParam)->replyThreadId;
        if (msg.message == WM_PLUGIN_USER_PACKET) {
            ::WaitForSingleObject(m_gate, INFINITE);
            auto *packet = reinterpret_cast<const uint8_t *>(msg.lParam);
            m.packet.assign(packet, packet + PacketSize(packet));
            m.bufferSize = ::GlobalSize(::GlobalHandle(packet));
            FreeGlobalPacket(packet);
        }
        fw::Lock lock(m_cs);
        m_messages.push_back(m);
    }

private:
    mutable fw::CriticalSection m_cs;
    std::vector<PluginMessage> m_messages;  // under m_cs
    HANDLE m_gate;
};

bool WaitForWritten(const CMemoryStream &stream, const Bytes &expected, DWORD timeoutMs = 3000) {
    DWORD start = ::GetTickCount();
    while (stream.Written() != expected) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(2);
    }
    return true;
}

bool ThreadEnds(HANDLE thread, DWORD timeoutMs = 3000) {
    bool ended = ::WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    ::CloseHandle(thread);
    return ended;
}

HANDLE OpenThreadById(DWORD id) { return ::OpenThread(SYNCHRONIZE, FALSE, id); }

const Bytes kUserData = {0x20, 0x03, 0x00, 0x41, 0x42, 0x43};

}  // namespace

TEST(PluginThreadStream, AttachAndDetachTellThePluginWithTheUsersInfo) {
    FakePlugin plugin;
    AttachedUser ann(7, plugin.Id());
    DWORD reply = ann.info.replyThreadId;
    EXPECT_NE(reply, 0u);
    EXPECT_NE(reply, plugin.Id());
    EXPECT_NE(reply, ::GetCurrentThreadId());
    HANDLE replyThread = OpenThreadById(reply);
    ASSERT_TRUE(replyThread);

    ASSERT_TRUE(plugin.WaitFor(1));
    PluginMessage added = plugin.Messages()[0];
    EXPECT_EQ(added.message, WM_PLUGIN_USER_ADDED);
    EXPECT_EQ(added.user, reinterpret_cast<WPARAM>(&ann.info));
    EXPECT_EQ(added.replyThreadId, reply);  // already set when the plug-in looks

    ann.Detach();
    ASSERT_TRUE(plugin.WaitFor(2));
    PluginMessage removed = plugin.Messages()[1];
    EXPECT_EQ(removed.message, WM_PLUGIN_USER_REMOVED);
    EXPECT_EQ(removed.user, reinterpret_cast<WPARAM>(&ann.info));
    EXPECT_TRUE(ThreadEnds(replyThread));
    EXPECT_EQ(ann.user.GetPeer(), nullptr);
}

TEST(PluginThreadStream, UserPacketReachesThePluginAsExactlyItsBytes) {
    long live = GlobalPacketsLive();
    FakePlugin plugin;
    {
        AttachedUser ann(7, plugin.Id());
        ann.Send(kUserData);
        ASSERT_TRUE(plugin.WaitFor(2));
        PluginMessage packet = plugin.Messages()[1];
        EXPECT_EQ(packet.message, WM_PLUGIN_USER_PACKET);
        EXPECT_EQ(packet.user, reinterpret_cast<WPARAM>(&ann.info));
        EXPECT_EQ(packet.packet, kUserData);
        EXPECT_EQ(packet.bufferSize, kUserData.size());
        EXPECT_TRUE(ann.user.Written().empty());
    }
    EXPECT_TRUE(WaitForLivePackets(live, 2000));
}

TEST(PluginThreadStream, PluginDataGoesToTheUserAndEchoBackToThePlugin) {
    long live = GlobalPacketsLive();
    FakePlugin plugin;
    {
        AttachedUser ann(7, plugin.Id());
        ASSERT_TRUE(ann.PostFromPlugin({0x05, 0x00, 0x00}));
        ASSERT_TRUE(plugin.WaitFor(2));
        EXPECT_EQ(plugin.Messages()[1].message, WM_PLUGIN_USER_PACKET);
        EXPECT_EQ(plugin.Messages()[1].packet, (Bytes{0x05, 0x00, 0x00}));

        // NOOP is dropped; the data behind it shows it was handled first.
        ASSERT_TRUE(ann.PostFromPlugin({0x06, 0x00, 0x00}));
        ASSERT_TRUE(ann.PostFromPlugin(kUserData));
        EXPECT_TRUE(WaitForWritten(ann.user, kUserData));  // the data, and no echo
        EXPECT_EQ(ann.user.WrittenIds(), std::vector<uint32_t>{7});
        EXPECT_EQ(plugin.Messages().size(), 2u);
        EXPECT_TRUE(WaitForLivePackets(live, 2000));  // NOOP and data freed
    }
    EXPECT_TRUE(WaitForLivePackets(live, 2000));
}

TEST(PluginThreadStream, EachUserHasItsOwnThreadAndGetsOnlyItsOwnPackets) {
    long live = GlobalPacketsLive();
    FakePlugin plugin;
    {
        AttachedUser ann(100, plugin.Id(), "Ann");
        AttachedUser bob(101, plugin.Id(), "Bob");
        EXPECT_NE(ann.info.replyThreadId, bob.info.replyThreadId);
        EXPECT_NE(bob.info.replyThreadId, 0u);
        ASSERT_TRUE(plugin.WaitFor(2));
        EXPECT_EQ(plugin.Messages()[1].user, reinterpret_cast<WPARAM>(&bob.info));
        EXPECT_EQ(plugin.Messages()[1].replyThreadId, bob.info.replyThreadId);

        // The reply thread decides the user, even when the plug-in names
        // another one: the hub never acts for a user through another's link.
        const Bytes forBob = {0x21, 0x01, 0x00, 0x42};
        ASSERT_TRUE(ann.PostFromPlugin(kUserData, &bob.info));
        ASSERT_TRUE(bob.PostFromPlugin(forBob));
        EXPECT_TRUE(WaitForWritten(ann.user, kUserData));
        EXPECT_TRUE(WaitForWritten(bob.user, forBob));
        EXPECT_EQ(ann.user.WrittenIds(), std::vector<uint32_t>{100});
        EXPECT_EQ(bob.user.WrittenIds(), std::vector<uint32_t>{101});
    }
    EXPECT_TRUE(WaitForLivePackets(live, 2000));
}

TEST(PluginThreadStream, ConnectRequestMayDestroyTheStreamWhileItIsHandedOver) {
    long live = GlobalPacketsLive();
    RecordingHubWindow hub;  // before the stream: streams take the hub at construction
    FakePlugin plugin;
    AttachedUser ann(7, plugin.Id());
    HANDLE replyThread = OpenThreadById(ann.info.replyThreadId);
    hub.onConnect = [&](WPARAM) { ann.Detach(); };  // the router re-attaches the user elsewhere

    const Bytes request = {0x02, 0x02, 0x00, 0x61, 0x62};
    ASSERT_TRUE(ann.PostFromPlugin(request));
    ASSERT_TRUE(PumpUntil([&] { return !hub.Messages().empty(); }, 3000));
    EXPECT_EQ(hub.Messages()[0].message, WM_STREAM_CONNECT);
    EXPECT_EQ(hub.Messages()[0].wParam, reinterpret_cast<WPARAM>(&ann.info));
    EXPECT_EQ(hub.Messages()[0].packet, request);

    ASSERT_TRUE(plugin.WaitFor(2));
    EXPECT_EQ(plugin.Messages()[1].message, WM_PLUGIN_USER_REMOVED);
    EXPECT_TRUE(ThreadEnds(replyThread));
    EXPECT_TRUE(ann.user.Written().empty());
    EXPECT_TRUE(WaitForLivePackets(live, 2000));
}

TEST(PluginThreadStream, PacketsStillQueuedWhenTheStreamGoesAreFreed) {
    long live = GlobalPacketsLive();
    FakePlugin plugin;
    Bytes packet = {0x20, 60, 0x00};
    packet.resize(3 + 60, 0x5A);
    std::vector<HANDLE> replyThreads;
    for (int round = 0; round < 20; ++round) {
        AttachedUser ann(7, plugin.Id());
        ann.user.SetSlowWrites(true);  // a dispatch takes long enough to be caught in the middle
        replyThreads.push_back(OpenThreadById(ann.info.replyThreadId));
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(ann.PostFromPlugin(packet));
        ::Sleep(round % 3);  // catch the thread before, during and after its work
        UserInfo gone = ann.info;
        ann.Detach();
        // A plug-in that has not yet seen the removal still answers: these
        // land behind the thread's WM_QUIT.
        for (int i = 0; i < 5; ++i) {
            uint8_t *late = AllocGlobalPacket(packet.size());
            std::copy(packet.begin(), packet.end(), late);
            if (!::PostThreadMessageA(gone.replyThreadId, WM_PLUGIN_PACKET, 0, reinterpret_cast<LPARAM>(late)))
                FreeGlobalPacket(late);
        }
        // Whatever reached the user did so whole, and nothing comes after
        // the detach.
        Bytes written = ann.user.Written();
        ASSERT_EQ(written.size() % packet.size(), 0u);
        for (size_t at = 0; at < written.size(); at += packet.size())
            ASSERT_TRUE(std::equal(packet.begin(), packet.end(), written.begin() + at));
        ::Sleep(1);
        EXPECT_EQ(ann.user.Written(), written);
    }
    for (HANDLE thread : replyThreads) EXPECT_TRUE(ThreadEnds(thread));
    EXPECT_EQ(GlobalPacketsLive(), live);
}

TEST(PluginThreadStream, PacketForAGonePluginThreadIsFreed) {
    long live = GlobalPacketsLive();
    // No thread has an odd id, so no thread can take this post.
    CPluginThreadStream *stream = new CPluginThreadStream(nullptr, 0x7FFFFFF3u, FALSE);
    EXPECT_EQ(stream->WritePacket(kUserData.data(), 7), 0);
    EXPECT_EQ(GlobalPacketsLive(), live);
    delete stream;
}

TEST(PluginThreadStream, TrafficLogIsNamedAfterThePluginThread) {
    std::string path = std::string(fw::GetModuleDir()) + "Plug520.txt";
    ::DeleteFileA(path.c_str());
    auto *stream = new CPluginThreadStream(nullptr, 520, TRUE);
    EXPECT_EQ(stream->GetDescription(), "Local");
    stream->Open();
    EXPECT_NE(::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    delete stream;
    ::DeleteFileA(path.c_str());
}

namespace {
Bytes Numbered(int i) {
    uint8_t payload[2] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    return EncodePacket(0x21, payload, sizeof payload);
}
}  // namespace

// A plug-in thread that stops taking messages: its user's writer waits once
// the bound of unconsumed packets is reached, and when the plug-in goes on
// every packet arrives, in order. Another user of the plug-in flows meanwhile.
TEST(PluginThreadStream, PluginThatStopsTakingPacketsSlowsItsUserAndLosesNothing) {
    FakePlugin plugin;
    AttachedUser ann(7, plugin.Id());
    ASSERT_TRUE(plugin.WaitFor(1));
    plugin.Pause();
    const int total = static_cast<int>(CPluginQueueWatch::kMaxPackets) + 500;
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; i < total; ++i) {
            Bytes p = Numbered(i);
            ann.stream->WritePacket(p.data(), 7);
            ++written;
        }
    });
    ::Sleep(700);
    EXPECT_LE(written.load(), static_cast<int>(CPluginQueueWatch::kMaxPackets) + 2);
    EXPECT_LE(ann.stream->Queue().Packets(), CPluginQueueWatch::kMaxPackets + 1);
    plugin.Resume();
    writer.join();
    ASSERT_TRUE(plugin.WaitFor(1 + total, 10000));
    std::vector<PluginMessage> messages = plugin.Messages();
    for (int i = 0; i < total; ++i) {
        ASSERT_EQ(messages[1 + i].message, static_cast<UINT>(WM_PLUGIN_USER_PACKET));
        ASSERT_EQ(messages[1 + i].packet, Numbered(i)) << i;
    }
    EXPECT_EQ(ann.stream->Queue().Packets(), 0u);
}

// A user whose writer waits for room is detached at once when the hub asks.
TEST(PluginThreadStream, DetachEndsAWaitForRoomAtOnce) {
    FakePlugin plugin;
    auto ann = std::make_unique<AttachedUser>(8, plugin.Id());
    ASSERT_TRUE(plugin.WaitFor(1));
    plugin.Pause();
    std::thread writer([&] {
        for (size_t i = 0; i < CPluginQueueWatch::kMaxPackets + 10; ++i) {
            Bytes p = Numbered(static_cast<int>(i));
            ann->user.ForwardPacket(p.data(), 8);  // as the user's reader does, under its peer lock
        }
    });
    ::Sleep(500);
    DWORD start = ::GetTickCount();
    ann->Detach();
    EXPECT_LT(::GetTickCount() - start, 1000u);
    writer.join();
    plugin.Resume();
}

// Only the stream ends its reply thread: a WM_QUIT that someone else posts to
// it is ignored, and the user's packets still flow afterwards.
TEST(PluginThreadStream, ForeignQuitDoesNotEndTheReplyThread) {
    FakePlugin plugin;
    AttachedUser ann(9, plugin.Id());
    ASSERT_TRUE(plugin.WaitFor(1));
    DWORD reply = ann.info.replyThreadId;
    HANDLE replyThread = OpenThreadById(reply);
    ASSERT_TRUE(replyThread);
    ASSERT_TRUE(::PostThreadMessageA(reply, WM_QUIT, 0, 0));
    EXPECT_EQ(::WaitForSingleObject(replyThread, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(ann.PostFromPlugin(kUserData));
    EXPECT_TRUE(WaitForWritten(ann.user, kUserData));
    ann.Detach();
    EXPECT_TRUE(ThreadEnds(replyThread));
}

namespace {
bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs = 3000) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(2);
    }
    return true;
}
}  // namespace

// Packets a plug-in takes while nobody watches stay counted only until they
// are proved taken (a later packet at the same address, or one the watch sees
// taken), so a plug-in that takes each packet as it comes never gets near the
// bound, and no watch is left on once it has caught up.
TEST(PluginThreadStream, PacketsTakenUnwatchedAreCreditedLater) {
    FakePlugin plugin;
    AttachedUser ann(10, plugin.Id());
    ASSERT_TRUE(plugin.WaitFor(1));
    const int total = static_cast<int>(CPluginQueueWatch::kMaxPackets);
    for (int i = 0; i < total; ++i) {
        ASSERT_EQ(ann.stream->WritePacket(Numbered(i).data(), 10), 1);
        ASSERT_TRUE(plugin.WaitFor(2 + i));
        ASSERT_LE(ann.stream->Queue().Packets(), CPluginQueueWatch::kWatchPackets + 1) << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return !CPluginQueueWatch::Watching(plugin.Id()); }));
}

// However much a user sends to a plug-in that keeps up, the writer never
// waits for good and every packet arrives in order.
TEST(PluginThreadStream, PluginThatKeepsUpNeverHoldsItsUserBack) {
    FakePlugin plugin;
    auto ann = std::make_unique<AttachedUser>(11, plugin.Id());
    ASSERT_TRUE(plugin.WaitFor(1));
    const int total = 3 * static_cast<int>(CPluginQueueWatch::kMaxPackets);
    std::thread writer([&] {
        for (int i = 0; i < total; ++i) {
            Bytes p = Numbered(i);
            ann->user.ForwardPacket(p.data(), 11);  // as the user's reader does
        }
    });
    bool arrived = plugin.WaitFor(1 + total, 20000);
    if (!arrived) ann->Detach();  // ends a writer stuck waiting for room
    writer.join();
    ASSERT_TRUE(arrived) << plugin.Messages().size() - 1 << " arrived";
    std::vector<PluginMessage> messages = plugin.Messages();
    for (int i = 0; i < total; ++i) ASSERT_EQ(messages[1 + i].packet, Numbered(i)) << i;
    EXPECT_LT(ann->stream->Queue().Packets(), CPluginQueueWatch::kMaxPackets);
}
