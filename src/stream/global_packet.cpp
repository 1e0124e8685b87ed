// Global-memory packet buffers. Counting with interlocked operations keeps the
// counters right when reader threads and plug-in threads allocate and free at
// the same time.
#include "stream/global_packet.h"

#include <windows.h>
#include <string.h>

namespace {

volatile LONG s_live = 0;       // any thread, interlocked only
volatile LONG s_allocated = 0;  // any thread, interlocked only

class GlobalAllocator final : public PacketAllocator {
public:
    uint8_t *Allocate(size_t size) override { return AllocGlobalPacket(size); }
    void Free(uint8_t *packet) override { FreeGlobalPacket(packet); }
};

class PageAllocator final : public PacketAllocator {
public:
    uint8_t *Allocate(size_t size) override {
        return static_cast<uint8_t *>(::VirtualAlloc(nullptr, size ? size : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    void Free(uint8_t *buffer) override {
        if (buffer) ::VirtualFree(buffer, 0, MEM_RELEASE);
    }
};

}  // namespace

uint8_t *AllocGlobalPacket(size_t size) {
    HGLOBAL mem = ::GlobalAlloc(GMEM_FIXED, size ? size : 1);
    if (!mem) return nullptr;
    auto *p = static_cast<uint8_t *>(::GlobalLock(mem));
    if (!p) {
        ::GlobalFree(mem);
        return nullptr;
    }
    ::InterlockedIncrement(&s_live);
    ::InterlockedIncrement(&s_allocated);
    return p;
}

void FreeGlobalPacket(const void *packet) {
    if (!packet) return;
    HGLOBAL mem = ::GlobalHandle(packet);
    if (!mem) return;
    ::GlobalFree(mem);
    ::InterlockedDecrement(&s_live);
}

uint8_t *CopyToGlobalPacket(const uint8_t *packet) {
    size_t size = PacketSize(packet);
    uint8_t *copy = AllocGlobalPacket(size);
    if (copy) memcpy(copy, packet, size);
    return copy;
}

PacketAllocator &GlobalPacketAllocator() {
    static GlobalAllocator s_alloc;
    return s_alloc;
}

PacketAllocator &LinkBufferAllocator() {
    static PageAllocator s_alloc;
    return s_alloc;
}

long GlobalPacketsLive() { return s_live; }
long GlobalPacketsAllocated() { return s_allocated; }
