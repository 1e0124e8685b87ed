// The counts of every user's packets in flight to plug-in threads live in one
// table keyed by packet address: the hook sees only the packet. An address
// names one packet until the plug-in takes and frees it; a later packet at
// the same address therefore proves the earlier one taken. Each post draws two
// tickets from one counter, before it starts and once it has returned; the
// order of the tickets is what lets one taken packet vouch for the packets
// posted before it.
#include "stream/plugin_queue.h"
#include <map>
#include <set>
#include <unordered_map>
#include "framework/sync.h"
#include "framework/thread.h"
#include "framework/trace.h"
#include "norvane_plugin.h"

namespace {

const UINT kReconsider = WM_APP + 1;  // to the hook keeper: wParam names the plug-in thread

LRESULT CALLBACK OnPluginGetMessage(int code, WPARAM removal, LPARAM lParam) {
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg && !msg->hwnd && msg->message == WM_PLUGIN_USER_PACKET)
        PluginUserQueue::Taken(reinterpret_cast<const void *>(msg->lParam));
    return ::CallNextHookEx(nullptr, code, removal, lParam);
}

// Sets and removes the hooks, so that they belong to a thread that outlives
// every user attached to a plug-in; it acts on what the table wants now, so
// requests that cross each other settle on the last word.
class HookKeeper : public fw::MessageThread {
public:
    // Joined by now: whatever it still held goes.
    ~HookKeeper() override {
        for (auto &entry : m_hooks) ::UnhookWindowsHookEx(entry.second);
    }

protected:
    void OnThreadMessage(const MSG &msg) override {
        if (msg.message == kReconsider) Apply(static_cast<DWORD>(msg.wParam));
    }

private:
    void Apply(DWORD pluginThreadId);
    std::map<DWORD, HHOOK> m_hooks;  // keeper thread only
};

}  // namespace

class PluginQueueTable {
public:
    struct Entry {
        PluginUserQueue *queue;
        size_t size;
        uint64_t start;     // ticket drawn before the post
        uint64_t done = 0;  // ticket drawn once the post returned; 0 until then
    };
    // One plug-in thread.
    struct Watch {
        std::set<PluginUserQueue *> queues;
        std::map<uint64_t, const void *> order;  // start ticket -> packet still counted
        bool want = false;                       // the hook should be on
        bool on = false;                         // it is, and sees every post started after `since`
        bool unbounded = false;                  // it could not be set
        uint64_t since = 0;
    };

    fw::CriticalSection cs;
    std::unordered_map<const void *, Entry> packets;  // under cs
    std::map<DWORD, Watch> watches;                   // under cs; added and erased by the Attach thread
    uint64_t tickets = 0;                             // under cs
    std::unique_ptr<HookKeeper> keeper;               // the Attach thread; runs while any watch exists

    static PluginQueueTable &Get() {
        static PluginQueueTable table;
        return table;
    }

    Watch *Find(DWORD pluginThreadId) {  // under cs
        auto it = watches.find(pluginThreadId);
        return it == watches.end() ? nullptr : &it->second;
    }
    static bool Full(const PluginUserQueue &queue, const Watch &watch) {
        return !watch.unbounded &&
               (queue.m_packets >= CPluginQueueWatch::kMaxPackets || queue.m_bytes >= CPluginQueueWatch::kMaxBytes);
    }
    void Want(DWORD pluginThreadId, Watch &watch, bool want) {  // under cs
        if (watch.want == want) return;
        watch.want = want;
        if (keeper) keeper->Post(kReconsider, pluginThreadId);
    }
    // Only the step out of a full queue can release a writer (one that waits
    // reset the event while the queue was full), so the event is set then and
    // not for every packet credited.
    void Credit(std::unordered_map<const void *, Entry>::iterator it, Watch *watch) {  // under cs
        PluginUserQueue *queue = it->second.queue;
        const bool wasFull = watch && Full(*queue, *watch);
        --queue->m_packets;
        queue->m_bytes -= it->second.size;
        if (watch) watch->order.erase(it->second.start);
        packets.erase(it);
        if (wasFull && !Full(*queue, *watch)) ::SetEvent(queue->m_hRoom);
    }
    static void WakeWriters(const Watch &watch) {  // under cs
        for (PluginUserQueue *queue : watch.queues) ::SetEvent(queue->m_hRoom);
    }
    void Taken(const void *packet);
    void Activated(DWORD pluginThreadId, bool hooked, DWORD error);
};

void PluginQueueTable::Taken(const void *packet) {
    fw::Lock lock(cs);
    auto it = packets.find(packet);
    if (it == packets.end()) return;
    const uint64_t start = it->second.start;
    const DWORD pluginThreadId = it->second.queue->m_dwPluginThreadId;
    Watch *watch = Find(pluginThreadId);
    Credit(it, watch);
    if (!watch) return;
    // Every packet whose post had returned before this one's began was ahead
    // of it in the queue: taken too, seen or not.
    for (auto o = watch->order.begin(); o != watch->order.end() && o->first < start;) {
        auto ahead = packets.find((o++)->second);
        if (ahead != packets.end() && ahead->second.done && ahead->second.done < start) Credit(ahead, watch);
    }
    if (watch->order.empty()) Want(pluginThreadId, *watch, false);
}

void PluginQueueTable::Activated(DWORD pluginThreadId, bool hooked, DWORD error) {
    fw::Lock lock(cs);
    Watch *watch = Find(pluginThreadId);
    if (!watch) return;
    if (hooked) {
        watch->on = true;
        watch->since = ++tickets;
    } else {
        watch->unbounded = true;
        fw::Trace("plug-in thread %lu served without a queue bound: no message hook (error %lu)",
                  static_cast<unsigned long>(pluginThreadId), static_cast<unsigned long>(error));
    }
    WakeWriters(*watch);  // a writer at the bound may now post the packet that proves the rest taken
}

void HookKeeper::Apply(DWORD pluginThreadId) {
    PluginQueueTable &table = PluginQueueTable::Get();
    bool want;
    {
        fw::Lock lock(table.cs);
        PluginQueueTable::Watch *watch = table.Find(pluginThreadId);
        want = watch && watch->want && !watch->unbounded;
        if (watch && !want) watch->on = false;
    }
    auto it = m_hooks.find(pluginThreadId);
    if (want && it == m_hooks.end()) {
        HHOOK hook = ::SetWindowsHookExA(WH_GETMESSAGE, OnPluginGetMessage, nullptr, pluginThreadId);
        DWORD error = hook ? 0 : ::GetLastError();
        if (hook) m_hooks[pluginThreadId] = hook;
        table.Activated(pluginThreadId, hook != nullptr, error);
    } else if (!want && it != m_hooks.end()) {
        ::UnhookWindowsHookEx(it->second);
        m_hooks.erase(it);
    }
}

std::shared_ptr<PluginUserQueue> CPluginQueueWatch::Attach(DWORD pluginThreadId) {
    PluginQueueTable &table = PluginQueueTable::Get();
    if (!table.keeper) {
        std::unique_ptr<HookKeeper> keeper(new HookKeeper);
        if (keeper->Start())
            table.keeper = std::move(keeper);
        else
            fw::Trace("plug-in queues have no watch: its thread could not start (error %lu)", ::GetLastError());
    }
    auto queue = std::make_shared<PluginUserQueue>(pluginThreadId);
    fw::Lock lock(table.cs);
    PluginQueueTable::Watch &watch = table.watches[pluginThreadId];
    watch.queues.insert(queue.get());
    if (!table.keeper) watch.unbounded = true;
    return queue;
}

void CPluginQueueWatch::Detach(DWORD pluginThreadId, const std::shared_ptr<PluginUserQueue> &queue) {
    if (queue) queue->Clear();
    PluginQueueTable &table = PluginQueueTable::Get();
    std::unique_ptr<HookKeeper> ending;
    {
        fw::Lock lock(table.cs);
        PluginQueueTable::Watch *watch = table.Find(pluginThreadId);
        if (!watch) return;
        watch->queues.erase(queue.get());
        if (!watch->queues.empty()) return;
        table.watches.erase(pluginThreadId);
        if (table.keeper) table.keeper->Post(kReconsider, pluginThreadId);  // takes the hook off
        if (table.watches.empty()) ending = std::move(table.keeper);
    }
    if (ending) {
        ending->PostQuit();  // after the requests before it
        ending->Join();
    }
}

bool CPluginQueueWatch::Watching(DWORD pluginThreadId) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    PluginQueueTable::Watch *watch = table.Find(pluginThreadId);
    return watch && watch->on;
}

PluginUserQueue::PluginUserQueue(DWORD pluginThreadId)
    : m_dwPluginThreadId(pluginThreadId), m_hRoom(::CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

PluginUserQueue::~PluginUserQueue() {
    Clear();
    if (m_hRoom) ::CloseHandle(m_hRoom);
}

bool PluginUserQueue::WaitForRoom(HANDLE interrupt) {
    PluginQueueTable &table = PluginQueueTable::Get();
    HANDLE waits[2] = {m_hRoom, interrupt};
    for (;;) {
        {
            fw::Lock lock(table.cs);
            PluginQueueTable::Watch *watch = table.Find(m_dwPluginThreadId);
            if (!watch || !PluginQueueTable::Full(*this, *watch)) return true;
            if (watch->on && m_lastTicket < watch->since) return true;  // the packet that proves the rest
            table.Want(m_dwPluginThreadId, *watch, true);
            ::ResetEvent(m_hRoom);
        }
        DWORD r = ::WaitForMultipleObjects(interrupt ? 2 : 1, waits, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0) return false;
    }
}

uint64_t PluginUserQueue::Posting(const void *packet, size_t size) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    PluginQueueTable::Watch *watch = table.Find(m_dwPluginThreadId);
    if (!watch) return 0;
    // The same address again: the plug-in took the packet that had it and
    // freed it, seen or not.
    auto before = table.packets.find(packet);
    if (before != table.packets.end()) table.Credit(before, table.Find(before->second.queue->m_dwPluginThreadId));
    const uint64_t start = ++table.tickets;
    table.packets[packet] = {this, size, start};
    watch->order[start] = packet;
    ++m_packets;
    m_bytes += size;
    m_lastTicket = start;
    if (m_packets >= CPluginQueueWatch::kWatchPackets || m_bytes >= CPluginQueueWatch::kWatchBytes)
        table.Want(m_dwPluginThreadId, *watch, true);
    return start;
}

void PluginUserQueue::Posted(const void *packet, uint64_t ticket) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    auto it = table.packets.find(packet);
    if (it != table.packets.end() && it->second.start == ticket) it->second.done = ++table.tickets;
}

// A packet whose post failed never reaches the plug-in: it leaves the count
// as one the plug-in took, but proves nothing about the others.
void PluginUserQueue::Unposted(const void *packet) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    auto it = table.packets.find(packet);
    if (it != table.packets.end()) table.Credit(it, table.Find(m_dwPluginThreadId));
}

void PluginUserQueue::Taken(const void *packet) { PluginQueueTable::Get().Taken(packet); }

void PluginUserQueue::Clear() {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    PluginQueueTable::Watch *watch = table.Find(m_dwPluginThreadId);
    for (auto it = table.packets.begin(); it != table.packets.end();) {
        if (it->second.queue != this) {
            ++it;
            continue;
        }
        if (watch) watch->order.erase(it->second.start);
        it = table.packets.erase(it);
    }
    m_packets = m_bytes = 0;
    if (m_hRoom) ::SetEvent(m_hRoom);
}

size_t PluginUserQueue::Packets() const {
    fw::Lock lock(PluginQueueTable::Get().cs);
    return m_packets;
}

size_t PluginUserQueue::Bytes() const {
    fw::Lock lock(PluginQueueTable::Get().cs);
    return m_bytes;
}
