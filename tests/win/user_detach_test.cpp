// Detaching a user while its reader thread is forwarding into the plug-in
// side: the plug-in side may be destroyed by RemoveUser, so the detach must
// wait until the forward has left it.
#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <thread>
#include "app/quarantine.h"
#include "app/user_connection.h"
#include "memory_stream.h"
#include "stream/global_packet.h"
#include "stream/plugin_thread_stream.h"

namespace {

// A plug-in side stream whose write takes a while and which notes whether
// RemoveUser came while a write was still inside it.
class SlowPeer : public CMemoryStream {
public:
    int WritePacket(const uint8_t *packet, uint32_t id) override {
        inside = true;
        entered = true;
        ::Sleep(60);
        int r = CMemoryStream::WritePacket(packet, id);
        inside = false;
        return r;
    }
    void RemoveUser(UserInfo *) override { removedWhileInside = inside.load(); removed = true; }
    std::atomic<bool> inside{false}, entered{false}, removed{false}, removedWhileInside{false};
};

}  // namespace

TEST(UserDetach, DestroyingAConnectionWaitsForAForwardInProgress) {
    SlowPeer peer;
    auto *connection = new CUserConnection(nullptr, 5, 5, 0);
    auto *stream = new CMemoryStream(&connection->userInfo);
    connection->stream = stream;
    stream->SetPeer(&peer);
    stream->Arrive({0x20, 0x01, 0x00, 0x41});

    std::thread reader([stream] { stream->DispatchPacket(); });
    while (!peer.entered) ::Sleep(1);
    delete connection;  // on this thread, as the hub window would
    reader.join();

    EXPECT_TRUE(peer.removed);
    EXPECT_FALSE(peer.removedWhileInside);
    EXPECT_EQ(peer.Written(), (Bytes{0x20, 0x01, 0x00, 0x41}));
}

namespace {

// A handheld that reads nothing: a write into it waits until the hub
// interrupts it, as a socket or serial write behind a full window would.
class NonReadingUser : public CMemoryStream {
public:
    using CMemoryStream::CMemoryStream;
    int WriteBytes(const void *, int) override {
        entered = true;
        bool interrupted = ::WaitForSingleObject(WriteInterruptEvent(), 30000) == WAIT_OBJECT_0;
        return interrupted ? 0 : -1;
    }
    std::atomic<bool> entered{false};
};

}  // namespace

// The plug-in answers a user that stopped reading: its reply thread blocks in
// the write. Detaching the user from the hub window's thread interrupts that
// write instead of waiting behind it.
TEST(UserDetach, DetachDoesNotWaitBehindAWriteIntoAUserThatStoppedReading) {
    UserInfo info = {};
    info.id = 101;
    NonReadingUser user(&info);
    auto *side = new CPluginThreadStream(&info, ::GetCurrentThreadId(), FALSE);
    info.replyThreadId = side->GetReplyThreadId();
    user.SetPeer(side);
    side->SetPeer(&user);  // what AddUser does, without telling a plug-in

    uint8_t *packet = AllocGlobalPacket(3);
    packet[0] = 0x30;
    packet[1] = packet[2] = 0;
    ASSERT_TRUE(::PostThreadMessageA(info.replyThreadId, WM_PLUGIN_PACKET, reinterpret_cast<WPARAM>(&info),
                                     reinterpret_cast<LPARAM>(packet)));
    DWORD start = ::GetTickCount();
    while (!user.entered && ::GetTickCount() - start < 5000) ::Sleep(1);
    ASSERT_TRUE(user.entered);

    start = ::GetTickCount();
    user.DetachPeer(&info);
    EXPECT_LT(::GetTickCount() - start, 1000u);
    EXPECT_EQ(user.GetPeer(), nullptr);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, WM_PLUGIN_USER_REMOVED, WM_PLUGIN_USER_REMOVED, PM_REMOVE)) {
    }
}

// A plug-in that is behind reads the UserInfo and user names of a user that
// has gone: they stay readable for the grace period, then they are freed.
TEST(UserDetach, RemovedUsersStayReadableForAWhile) {
    CQuarantine::Purge(::GetTickCount() + CQuarantine::kHoldMs);  // start empty
    ASSERT_EQ(CQuarantine::Count(), 0u);
    auto *connection = new CUserConnection(nullptr, 104, 104, -1);
    const UserInfo *info = &connection->userInfo;
    const char *firstName = info->userName;
    connection->SetUserName("Bob", 3);
    EXPECT_STREQ(firstName, "None");  // the replaced name is still there
    const char *secondName = info->userName;
    delete connection;
    EXPECT_EQ(info->id, 104u);
    EXPECT_STREQ(info->userName, "Bob");
    EXPECT_EQ(info->userName, secondName);
    EXPECT_EQ(CQuarantine::Count(), 3u);

    CQuarantine::Purge(::GetTickCount() + 1000);
    EXPECT_EQ(CQuarantine::Count(), 3u);
    CQuarantine::Purge(::GetTickCount() + CQuarantine::kHoldMs + 10);
    EXPECT_EQ(CQuarantine::Count(), 0u);
}

// A peer that connects and leaves in a loop cannot make the hold grow beyond
// its bound.
TEST(UserDetach, QuarantineIsBounded) {
    for (size_t i = 0; i < CQuarantine::kMaxEntries; ++i) delete new CUserConnection(nullptr, 105, 105, -1);
    EXPECT_LE(CQuarantine::Count(), CQuarantine::kMaxEntries);
    CQuarantine::Purge(::GetTickCount() + CQuarantine::kHoldMs);
}
