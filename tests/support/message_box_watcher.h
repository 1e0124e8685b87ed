// Finds and dismisses the hub's message boxes from a thread of its own.
//
// A message box is modal: the code under test stops inside it until someone
// presses OK. Tests that expect one (or must not hang on an unexpected one)
// keep a watcher alive; it presses OK on every box captioned with the
// application title and keeps each box's text for the test to check.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "framework/handles.h"
#include "framework/sync.h"
#include "framework/thread.h"

class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(const std::string &caption = "Orlesk");
    ~MessageBoxWatcher();  // stops watching; boxes after that stay up
    MessageBoxWatcher(const MessageBoxWatcher &) = delete;
    MessageBoxWatcher &operator=(const MessageBoxWatcher &) = delete;

    // Texts of the boxes dismissed so far, oldest first.
    std::vector<std::string> Texts() const;
    size_t Count() const;
    // True once at least n boxes were dismissed within the time. Does not
    // pump messages: call it from a thread that no box depends on.
    bool WaitForCount(size_t n, DWORD timeoutMs) const;

private:
    static DWORD WINAPI Main(void *self);
    void DismissAll();

    const std::string m_strCaption;
    mutable fw::CriticalSection m_cs;
    std::vector<std::string> m_texts;  // under m_cs
    fw::Handle m_stop;                 // manual reset; set by the destructor
    fw::Thread m_thread;
};
