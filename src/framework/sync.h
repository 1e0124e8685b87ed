// A critical section and its scoped lock: the one lock kind the hub needs,
// used to serialise writes into a stream that several threads write to.
#pragma once
#include <windows.h>

namespace fw {

class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    void Enter() { ::EnterCriticalSection(&m_cs); }
    void Leave() { ::LeaveCriticalSection(&m_cs); }
    bool TryEnter() { return ::TryEnterCriticalSection(&m_cs) != FALSE; }
    // Tries for up to timeoutMs; true when entered.
    bool EnterWithin(DWORD timeoutMs) {
        DWORD start = ::GetTickCount();
        while (!TryEnter()) {
            if (::GetTickCount() - start >= timeoutMs) return false;
            ::Sleep(1);
        }
        return true;
    }

private:
    CRITICAL_SECTION m_cs;
};

class Lock {
public:
    explicit Lock(CriticalSection &cs) : m_cs(cs) { m_cs.Enter(); }
    ~Lock() { m_cs.Leave(); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    CriticalSection &m_cs;
};

}  // namespace fw
