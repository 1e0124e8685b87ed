// Registry access with status reporting; see registry_key.h for why.
//
// Unlike the minimum the settings rules require, the key is closed when the
// object goes away, so a second instance does not leak its handle either.
#include "host/registry_key.h"
#include <cstring>

void CRegistryKey::Create(HKEY root, const char *path) {
    Close();
    m_bOpen = FALSE;
    m_nStatus = kNothing;
    DWORD disposition = 0;
    HKEY key = nullptr;
    LONG r = ::RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                               &disposition);
    if (r != ERROR_SUCCESS) return;
    m_hKey = key;
    m_bOpen = TRUE;
    m_nStatus = disposition == REG_CREATED_NEW_KEY ? kCreated : kOpened;
}

void CRegistryKey::Close() {
    if (m_bOpen && m_hKey) ::RegCloseKey(m_hKey);
    m_hKey = nullptr;  // the open flag stays: a closed key is never reused
}

LONG CRegistryKey::SetDword(const char *name, DWORD value) {
    if (!m_bOpen || !m_hKey) return 0;
    LONG r = ::RegSetValueExA(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    m_nStatus = r == ERROR_SUCCESS ? kSuccess : kFailure;
    return r;
}

LONG CRegistryKey::SetString(const char *name, const char *text) {
    if (!m_bOpen || !m_hKey) return 0;
    LONG r = ::RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                              static_cast<DWORD>(strlen(text) + 1));
    m_nStatus = r == ERROR_SUCCESS ? kSuccess : kFailure;
    return r;
}

DWORD CRegistryKey::GetDword(const char *name) {
    if (!m_bOpen || !m_hKey) return 1;
    DWORD value = 0, type = 0, size = sizeof value;
    LONG r = ::RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    if (r != ERROR_SUCCESS || type != REG_DWORD) {
        m_nStatus = kFailure;
        return 0;
    }
    m_nStatus = kSuccess;
    return value;
}

char *CRegistryKey::GetString(const char *name) {
    if (!m_bOpen || !m_hKey) return nullptr;
    char *buffer = new char[kStringBufferSize + 1];
    DWORD type = 0, size = kStringBufferSize;
    LONG r = ::RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size);
    if (r != ERROR_SUCCESS || type != REG_SZ) {
        m_nStatus = kFailure;
        buffer[0] = '\0';
    } else {
        m_nStatus = kSuccess;
        // A stored string need not carry its zero byte; the spare byte holds one.
        buffer[size < kStringBufferSize ? size : kStringBufferSize] = '\0';
    }
    return buffer;
}

DWORD CRegistryKey::GetValueCount() {
    if (!m_bOpen || !m_hKey) return 1;
    DWORD count = 0;
    LONG r = ::RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                                nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
        m_nStatus = kFailure;
        return 0;
    }
    m_nStatus = kSuccess;
    return count;
}

LONG CRegistryKey::EnumValueName(DWORD index, char *buffer, DWORD size) {
    if (!m_bOpen || !m_hKey) return 1;
    DWORD length = size;
    LONG r = ::RegEnumValueA(m_hKey, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
        m_nStatus = kFailure;
        if (size > 0) buffer[0] = '\0';
    } else {
        m_nStatus = kSuccess;
    }
    return r;
}

void CRegistryKey::DeleteValue(const char *name) {
    if (!m_bOpen || !m_hKey) return;
    m_nStatus = ::RegDeleteValueA(m_hKey, name) == ERROR_SUCCESS ? kSuccess : kFailure;
}

bool CRegistryKey::GetBool(const char *name) {
    DWORD value = GetDword(name);
    return value != 0 || m_nStatus == kFailure;
}
