// Memory that a plug-in may still read after the hub has told it to forget it.
//
// A plug-in hears of a user's removal through its thread's queue, behind any
// arrival or packet of that user still waiting there, and the plug-in guide
// tells it to read the UserInfo (and the name it points to) when it handles
// the arrival. Freeing them at once would make such a plug-in read freed
// memory. So the UserInfo of a removed user and every user name replaced or
// dropped are held here for a grace period before they are freed. The hold is
// bounded in count too, so a peer that connects and leaves in a loop cannot
// make it grow without end: the oldest entries then go early.
#pragma once
#include <windows.h>
#include <stddef.h>

class CQuarantine {
public:
    static constexpr DWORD kHoldMs = 30000;
    static constexpr size_t kMaxEntries = 2048;

    typedef void (*Release)(void *block);
    // Takes `block`; `release` frees it once it has been held kHoldMs. Any thread.
    static void Hold(void *block, Release release);
    // Frees what has been held long enough at `now` (GetTickCount).
    static void Purge(DWORD now);
    static size_t Count();
};
