// How many of a user's packets wait in an in-process plug-in's queue.
//
// The hub posts a user's packets to the plug-in's thread; a plug-in that
// falls behind would let them pile up without limit, and once its queue is
// full a post fails and the packet would be lost. So every user's unconsumed
// packets are counted, and past a bound the user's reader waits (it stops
// reading the handheld, which the link's own flow control then slows) until
// the plug-in catches up. Nothing is dropped.
//
// A packet counts as consumed when the plug-in's thread takes it from its
// queue: a message hook on that thread (WH_GETMESSAGE, installed for the
// thread while any user is attached to it) sees each WM_PLUGIN_USER_PACKET
// leave the queue and gives its credit back. Where the hook cannot be
// installed the plug-in is served without a bound, as before, and a trace
// line says so.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <memory>

class PluginUserQueue;

class CPluginQueueWatch {
public:
    static const size_t kMaxPackets = 1000;
    static const size_t kMaxBytes = 8u * 1024u * 1024u;

    // Hub window's thread: one per stream attached to the plug-in thread.
    static std::shared_ptr<PluginUserQueue> Attach(DWORD pluginThreadId);
    static void Detach(DWORD pluginThreadId, const std::shared_ptr<PluginUserQueue> &queue);
};

// One user's share of a plug-in thread's queue; any thread.
class PluginUserQueue {
public:
    explicit PluginUserQueue(bool bounded);
    ~PluginUserQueue();
    PluginUserQueue(const PluginUserQueue &) = delete;
    PluginUserQueue &operator=(const PluginUserQueue &) = delete;

    // Waits until the user may post one more packet of `size` bytes: true
    // then, false when `interrupt` was set first (the user is being detached).
    bool WaitForRoom(size_t size, HANDLE interrupt);
    // The packet is about to be posted / its post failed.
    void Posted(const void *packet, size_t size);
    void Unposted(const void *packet);
    // The plug-in's thread took the packet from its queue (the hook).
    static void Taken(const void *packet);
    // Forgets the packets still counted (the user left this plug-in).
    void Clear();

    size_t Packets() const;
    size_t Bytes() const;

private:
    bool Full() const;  // under the table's lock
    friend class PluginQueueTable;
    const bool m_bBounded;
    size_t m_packets = 0, m_bytes = 0;  // under the table's lock
    HANDLE m_hRoom;                     // manual reset: set while there is room
};
