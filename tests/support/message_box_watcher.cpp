// MessageBoxWatcher: polls for boxes by class and caption, reads the text of
// the static control (id 0xFFFF) and answers IDOK.
#include "message_box_watcher.h"

namespace {
const DWORD kPollMs = 20;
const DWORD kCloseWaitMs = 2000;
const int kTextControlId = 0xFFFF;
}  // namespace

MessageBoxWatcher::MessageBoxWatcher(const std::string &caption) : m_strCaption(caption) {
    m_stop.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    m_thread.Start(Main, this);
}

MessageBoxWatcher::~MessageBoxWatcher() {
    ::SetEvent(m_stop.Get());
    m_thread.Join();
}

std::vector<std::string> MessageBoxWatcher::Texts() const {
    fw::Lock lock(m_cs);
    return m_texts;
}

size_t MessageBoxWatcher::Count() const {
    fw::Lock lock(m_cs);
    return m_texts.size();
}

bool MessageBoxWatcher::WaitForCount(size_t n, DWORD timeoutMs) const {
    DWORD start = ::GetTickCount();
    while (Count() < n) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(kPollMs);
    }
    return true;
}

void MessageBoxWatcher::DismissAll() {
    while (HWND box = ::FindWindowA("#32770", m_strCaption.c_str())) {
        char text[1024] = "";
        ::GetDlgItemTextA(box, kTextControlId, text, sizeof text);
        {
            fw::Lock lock(m_cs);
            m_texts.push_back(text);
        }
        // Posted: the box's thread may be busy, and this thread must not hang on it.
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
        DWORD start = ::GetTickCount();
        while (::IsWindow(box) && ::GetTickCount() - start < kCloseWaitMs) ::Sleep(5);
        if (::IsWindow(box)) return;  // stuck: try again on the next round, counted again
    }
}

DWORD WINAPI MessageBoxWatcher::Main(void *arg) {
    auto *self = static_cast<MessageBoxWatcher *>(arg);
    do {
        self->DismissAll();
    } while (::WaitForSingleObject(self->m_stop.Get(), kPollMs) == WAIT_TIMEOUT);
    return 0;
}
