// Message loop of MessageThread, and the stack release every worker starts with.
#include "framework/thread.h"
#include "framework/trace.h"

namespace fw {

namespace {

// What stays untouched below the caller's frame: the frames of the release
// call itself live there while it runs.
const ULONG_PTR kKeepBelowFrame = 16 * 1024;
const ULONG_PTR kPageMask = 4096 - 1;

}  // namespace

void ReleaseUnusedStack() {
    char here = 0;
    MEMORY_BASIC_INFORMATION region;
    if (!::VirtualQuery(&here, &region, sizeof region)) return;
    char *const low = static_cast<char *>(region.AllocationBase);
    char *const keep = reinterpret_cast<char *>((reinterpret_cast<ULONG_PTR>(&here) - kKeepBelowFrame) & ~kPageMask);
    for (char *p = low; p < keep;) {
        if (!::VirtualQuery(p, &region, sizeof region)) return;
        char *end = static_cast<char *>(region.BaseAddress) + region.RegionSize;
        if (end > keep) end = keep;
        // Guard pages are how the stack grows on Windows: left as they are.
        if (region.State == MEM_COMMIT && !(region.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
            ::VirtualAlloc(p, end - p, MEM_RESET, PAGE_READWRITE);
        p = end;
    }
}

bool MessageThread::Start() {
    m_ready.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_ready) return false;
    if (!m_thread.Start(Main, this)) return false;
    ::WaitForSingleObject(m_ready.Get(), INFINITE);
    return true;
}

DWORD WINAPI MessageThread::Main(void *arg) {
    ReleaseUnusedStack();
    auto *self = static_cast<MessageThread *>(arg);
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    ::SetEvent(self->m_ready.Get());
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd) {
            ::DispatchMessageA(&msg);
            continue;
        }
        try {
            self->OnThreadMessage(msg);
        } catch (...) {
            Trace("thread message 0x%X dropped: its handler failed", msg.message);
        }
    }
    return 0;
}

}  // namespace fw
