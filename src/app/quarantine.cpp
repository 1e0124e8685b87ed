// The quarantine is a queue in the order of removal, so purging stops at the
// first entry that is still young.
#include "app/quarantine.h"
#include <deque>
#include "framework/sync.h"

namespace {

struct Entry {
    void *block;
    CQuarantine::Release release;
    DWORD since;
};

fw::CriticalSection &Lock() {
    static fw::CriticalSection cs;
    return cs;
}
std::deque<Entry> &Entries() {  // under Lock()
    static std::deque<Entry> entries;
    return entries;
}

// Takes the entries due at `now` out of the queue; they are freed outside the lock.
std::deque<Entry> TakeDue(DWORD now) {
    std::deque<Entry> due;
    fw::Lock lock(Lock());
    std::deque<Entry> &entries = Entries();
    while (!entries.empty() &&
           (now - entries.front().since >= CQuarantine::kHoldMs || entries.size() > CQuarantine::kMaxEntries)) {
        due.push_back(entries.front());
        entries.pop_front();
    }
    return due;
}

}  // namespace

void CQuarantine::Hold(void *block, Release release) {
    if (!block) return;
    DWORD now = ::GetTickCount();
    try {
        fw::Lock lock(Lock());
        Entries().push_back({block, release, now});
    } catch (...) {
        release(block);  // no room to hold it: freed now, as before
    }
    Purge(now);
}

void CQuarantine::Purge(DWORD now) {
    for (const Entry &entry : TakeDue(now)) entry.release(entry.block);
}

size_t CQuarantine::Count() {
    fw::Lock lock(Lock());
    return Entries().size();
}
