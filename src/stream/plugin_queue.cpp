// The count of every user's packets in flight to a plug-in thread lives in
// one table keyed by packet address: the hook sees only the packet, and a
// packet is in exactly one user's count until the plug-in takes it (it cannot
// free it, nor can its address be reused, before that).
#include "stream/plugin_queue.h"
#include <map>
#include <unordered_map>
#include "framework/sync.h"
#include "framework/trace.h"
#include "norvane_plugin.h"
#include "stream/packet.h"

class PluginQueueTable {
public:
    struct InFlight {
        PluginUserQueue *queue;
        size_t size;
    };
    struct Hook {
        HHOOK hook = nullptr;
        int users = 0;
    };
    fw::CriticalSection cs;
    std::unordered_map<const void *, InFlight> packets;  // under cs
    std::map<DWORD, Hook> hooks;                         // hub window's thread only

    static PluginQueueTable &Get() {
        static PluginQueueTable table;
        return table;
    }
    // Under cs. Only the step out of a full queue can release a writer (one
    // that waits reset the event while the queue was full), so the event is
    // set then and not for every packet the plug-in takes.
    static void Credit(PluginUserQueue *queue, size_t size) {
        const bool wasFull = queue->Full();
        --queue->m_packets;
        queue->m_bytes -= size;
        if (wasFull && !queue->Full()) ::SetEvent(queue->m_hRoom);
    }
};

namespace {

LRESULT CALLBACK OnPluginGetMessage(int code, WPARAM removal, LPARAM lParam) {
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg && !msg->hwnd && msg->message == WM_PLUGIN_USER_PACKET)
        PluginUserQueue::Taken(reinterpret_cast<const void *>(msg->lParam));
    return ::CallNextHookEx(nullptr, code, removal, lParam);
}

}  // namespace

std::shared_ptr<PluginUserQueue> CPluginQueueWatch::Attach(DWORD pluginThreadId) {
    PluginQueueTable &table = PluginQueueTable::Get();
    PluginQueueTable::Hook &entry = table.hooks[pluginThreadId];
    if (entry.users++ == 0) {
        entry.hook = ::SetWindowsHookExA(WH_GETMESSAGE, OnPluginGetMessage, nullptr, pluginThreadId);
        if (!entry.hook)
            fw::Trace("plug-in thread %lu served without a queue bound: no message hook (error %lu)",
                      static_cast<unsigned long>(pluginThreadId), ::GetLastError());
    }
    return std::make_shared<PluginUserQueue>(entry.hook != nullptr);
}

void CPluginQueueWatch::Detach(DWORD pluginThreadId, const std::shared_ptr<PluginUserQueue> &queue) {
    if (queue) queue->Clear();
    PluginQueueTable &table = PluginQueueTable::Get();
    auto it = table.hooks.find(pluginThreadId);
    if (it == table.hooks.end() || --it->second.users > 0) return;
    if (it->second.hook) ::UnhookWindowsHookEx(it->second.hook);
    table.hooks.erase(it);
}

PluginUserQueue::PluginUserQueue(bool bounded)
    : m_bBounded(bounded), m_hRoom(::CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

PluginUserQueue::~PluginUserQueue() {
    Clear();
    if (m_hRoom) ::CloseHandle(m_hRoom);
}

bool PluginUserQueue::Full() const {
    return m_bBounded && (m_packets >= CPluginQueueWatch::kMaxPackets || m_bytes >= CPluginQueueWatch::kMaxBytes);
}

bool PluginUserQueue::WaitForRoom(size_t, HANDLE interrupt) {
    HANDLE waits[2] = {m_hRoom, interrupt};
    for (;;) {
        {
            fw::Lock lock(PluginQueueTable::Get().cs);
            if (!Full()) return true;
            ::ResetEvent(m_hRoom);
        }
        DWORD r = ::WaitForMultipleObjects(interrupt ? 2 : 1, waits, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0) return false;
    }
}

void PluginUserQueue::Posted(const void *packet, size_t size) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    table.packets[packet] = {this, size};
    ++m_packets;
    m_bytes += size;
}

// A packet whose post failed never reaches the plug-in: it leaves the count
// exactly as one the plug-in took.
void PluginUserQueue::Unposted(const void *packet) { Taken(packet); }

void PluginUserQueue::Taken(const void *packet) {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    auto it = table.packets.find(packet);
    if (it == table.packets.end()) return;
    PluginQueueTable::Credit(it->second.queue, it->second.size);
    table.packets.erase(it);
}

void PluginUserQueue::Clear() {
    PluginQueueTable &table = PluginQueueTable::Get();
    fw::Lock lock(table.cs);
    for (auto it = table.packets.begin(); it != table.packets.end();)
        it = it->second.queue == this ? table.packets.erase(it) : std::next(it);
    m_packets = m_bytes = 0;
    ::SetEvent(m_hRoom);
}

size_t PluginUserQueue::Packets() const {
    fw::Lock lock(PluginQueueTable::Get().cs);
    return m_packets;
}

size_t PluginUserQueue::Bytes() const {
    fw::Lock lock(PluginQueueTable::Get().cs);
    return m_bytes;
}
