// One open registry key that remembers how its last operation went.
//
// Callers must tell a missing value from a stored 0 and go on either way, so
// every operation reports through m_nStatus instead of failing loudly; no
// registry failure is ever shown to the operator.
#pragma once
#include <windows.h>

class CRegistryKey {
public:
    enum Status {
        kNothing = 0,   // nothing done yet, or Create failed
        kCreated = 1,   // Create made a new key
        kOpened = 2,    // Create opened an existing key
        kSuccess = 3,   // the last value operation succeeded
        kFailure = 4,   // the last value operation failed
    };
    static const DWORD kStringBufferSize = 255;

    CRegistryKey() = default;
    CRegistryKey(const CRegistryKey &) = delete;
    CRegistryKey &operator=(const CRegistryKey &) = delete;
    ~CRegistryKey() { Close(); }

    void Create(HKEY root, const char *path);
    void Close();
    LONG SetDword(const char *name, DWORD value);
    LONG SetString(const char *name, const char *text);
    DWORD GetDword(const char *name);
    // A new kStringBufferSize-byte buffer the caller frees with delete[]; none when not open.
    char *GetString(const char *name);
    DWORD GetValueCount();
    LONG EnumValueName(DWORD index, char *buffer, DWORD size);
    void DeleteValue(const char *name);

    // The rule for the hub's two boolean settings: only a stored REG_DWORD 0 is off.
    bool GetBool(const char *name);
    void SetBool(const char *name, BOOL on) { SetDword(name, static_cast<BYTE>(on) ? 1 : 0); }

    bool IsOpen() const { return m_bOpen != FALSE; }
    int Status() const { return m_nStatus; }

private:
    HKEY m_hKey = nullptr;   // meaningful only while m_bOpen
    BOOL m_bOpen = FALSE;
    int m_nStatus = kNothing;
};
