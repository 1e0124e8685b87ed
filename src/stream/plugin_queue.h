// How many of a user's packets wait in an in-process plug-in's queue.
//
// The hub posts a user's packets to the plug-in's thread; a plug-in that
// falls behind would let them pile up without limit, and once its queue is
// full a post fails and the packet would be lost. So every user's packets not
// known to be taken are counted, and past a bound the user's reader waits (it
// stops reading the handheld, which the link's own flow control then slows)
// until the plug-in catches up. Nothing is dropped.
//
// Only a message hook on the plug-in's thread (WH_GETMESSAGE) sees a thread
// message leave its queue, and under Wine a hook costs the plug-in's thread
// three wine server requests for every message it takes: more than the rest
// of its work per packet, and that thread serves every user of the plug-in.
// So the hook is on only while it is needed: once a user has a quarter of the
// bound outstanding, or is at the bound. Packets the plug-in took while it was
// off are credited by the next packet it is seen to take: a thread's posted
// packets leave its queue in the order they were posted, so a taken packet
// proves every packet whose post had returned before its own post began was
// taken too. When nothing is outstanding any more the hook goes again. A
// writer at the bound with nothing posted since the hook came on may post one
// packet more, so that such a proof can come at all.
//
// Where the hook cannot be installed the plug-in is served without a bound,
// as before there was one, and a trace line says so. The hook belongs to a
// thread of the hub that lives while any user is attached to an in-process
// plug-in: a hook goes with the thread that set it.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <memory>

class PluginUserQueue;

class CPluginQueueWatch {
public:
    static constexpr size_t kMaxPackets = 1000;
    static constexpr size_t kMaxBytes = 8u * 1024u * 1024u;
    // Outstanding from which the plug-in's thread is watched.
    static constexpr size_t kWatchPackets = kMaxPackets / 4;
    static constexpr size_t kWatchBytes = kMaxBytes / 4;

    // One per stream attached to the plug-in thread; Attach and Detach come
    // from one thread (the hub window's).
    static std::shared_ptr<PluginUserQueue> Attach(DWORD pluginThreadId);
    static void Detach(DWORD pluginThreadId, const std::shared_ptr<PluginUserQueue> &queue);
    // Whether the plug-in thread's hook is on now (tests).
    static bool Watching(DWORD pluginThreadId);
};

// One user's share of a plug-in thread's queue; any thread.
class PluginUserQueue {
public:
    explicit PluginUserQueue(DWORD pluginThreadId);
    ~PluginUserQueue();
    PluginUserQueue(const PluginUserQueue &) = delete;
    PluginUserQueue &operator=(const PluginUserQueue &) = delete;

    // Waits until the user may post one more packet: true then, false when
    // `interrupt` was set first (the user is being detached).
    bool WaitForRoom(HANDLE interrupt);
    // The packet of `size` bytes is about to be posted (returns its ticket) /
    // was posted / its post failed. The ticket tells the packet from a later
    // one at the same address, once the plug-in has freed the first.
    uint64_t Posting(const void *packet, size_t size);
    void Posted(const void *packet, uint64_t ticket);
    void Unposted(const void *packet);
    // The plug-in's thread took the packet from its queue (the hook).
    static void Taken(const void *packet);
    // Forgets the packets still counted (the user left this plug-in).
    void Clear();

    size_t Packets() const;
    size_t Bytes() const;

private:
    friend class PluginQueueTable;
    const DWORD m_dwPluginThreadId;     // fixed
    size_t m_packets = 0, m_bytes = 0;  // under the table's lock
    uint64_t m_lastTicket = 0;          // under the table's lock: the last post's start
    HANDLE m_hRoom;                     // manual reset: set while the writer may post
};
