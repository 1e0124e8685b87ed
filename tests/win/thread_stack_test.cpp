// Giving back the unused stack of a running thread: what the thread holds in
// its frames must survive, the stack must still grow as deep as before, and
// the memory must actually leave the process.
#include <gtest/gtest.h>
#include <windows.h>
#define PSAPI_VERSION 2
#include <psapi.h>

#include <vector>
#include "framework/handles.h"
#include "framework/thread.h"

namespace {

const size_t kDeepBytes = 512 * 1024;

// Touches `bytes` of stack below the caller and returns a checksum of what
// it wrote and read back, so the compiler keeps every page.
__attribute__((noinline)) unsigned TouchStack(size_t bytes) {
    volatile unsigned char block[16 * 1024];
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof block; i += 512) block[i] = static_cast<unsigned char>(i >> 9);
    for (size_t i = 0; i < sizeof block; i += 512) sum += block[i];
    if (bytes > sizeof block) sum += TouchStack(bytes - sizeof block);
    return sum;
}

unsigned ExpectedSum(size_t bytes) {
    unsigned perBlock = 0;
    for (size_t i = 0; i < 16 * 1024; i += 512) perBlock += static_cast<unsigned char>(i >> 9);
    return perBlock * static_cast<unsigned>((bytes + 16 * 1024 - 1) / (16 * 1024));
}

size_t WorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

struct Parked {
    fw::Handle touched{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    fw::Handle release{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    fw::Handle released{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    fw::Handle again{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool framesIntact = false;
    bool deepAgain = false;
};

bool Wait(const fw::Handle &event) { return ::WaitForSingleObject(event.Get(), 10000) == WAIT_OBJECT_0; }

// The entry's own frame holds a pattern across the release; afterwards the
// thread goes as deep as before and reads back what it wrote there.
DWORD WINAPI ParkedThread(void *arg) {
    auto *p = static_cast<Parked *>(arg);
    unsigned char mine[4096];
    for (size_t i = 0; i < sizeof mine; ++i) mine[i] = static_cast<unsigned char>(i * 7);
    bool deep = TouchStack(kDeepBytes) == ExpectedSum(kDeepBytes);
    ::SetEvent(p->touched.Get());
    if (!Wait(p->release)) return 1;
    fw::ReleaseUnusedStack();
    bool intact = true;
    for (size_t i = 0; i < sizeof mine; ++i) intact = intact && mine[i] == static_cast<unsigned char>(i * 7);
    p->framesIntact = intact;
    ::SetEvent(p->released.Get());
    if (!Wait(p->again)) return 1;
    p->deepAgain = deep && TouchStack(kDeepBytes) == ExpectedSum(kDeepBytes);
    return 0;
}

// Many threads with deep stacks, parked: once each has given back what lies
// below its frame, the process holds far less; each still has its frame and
// can go as deep again afterwards.
TEST(ReleaseUnusedStack, GivesMemoryBackAndKeepsTheThreadWhole) {
    const int kThreads = 32;
    std::vector<Parked> parked(kThreads);
    std::vector<fw::Thread> threads(kThreads);
    for (int i = 0; i < kThreads; ++i) ASSERT_TRUE(threads[i].Start(ParkedThread, &parked[i]));
    for (Parked &p : parked) ASSERT_TRUE(Wait(p.touched));
    const size_t before = WorkingSet();
    for (Parked &p : parked) ::SetEvent(p.release.Get());
    for (Parked &p : parked) ASSERT_TRUE(Wait(p.released));
    const size_t after = WorkingSet();
    for (Parked &p : parked) ::SetEvent(p.again.Get());
    for (fw::Thread &t : threads) ASSERT_TRUE(t.Join(10000));
    for (Parked &p : parked) {
        EXPECT_TRUE(p.framesIntact);
        EXPECT_TRUE(p.deepAgain);
    }
    ASSERT_GT(before, 0u);
    // Each thread touched half a megabyte below its frame.
    EXPECT_LT(after + kThreads * kDeepBytes * 3 / 4, before) << "before " << before << ", after " << after;
}

}  // namespace
