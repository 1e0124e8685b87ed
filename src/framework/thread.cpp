// Message loop of MessageThread.
#include "framework/thread.h"
#include "framework/trace.h"

namespace fw {

bool MessageThread::Start() {
    m_ready.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_ready) return false;
    if (!m_thread.Start(Main, this)) return false;
    ::WaitForSingleObject(m_ready.Get(), INFINITE);
    return true;
}

DWORD WINAPI MessageThread::Main(void *arg) {
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
