// Detaching a user while its reader thread is forwarding into the plug-in
// side: the plug-in side may be destroyed by RemoveUser, so the detach must
// wait until the forward has left it.
#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <thread>
#include "app/user_connection.h"
#include "memory_stream.h"

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
