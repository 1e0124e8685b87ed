// A stream with no link: reads nothing, swallows writes, ignores settings.
// Test doubles derive from it and override only what they observe.
#pragma once
#include "stream/stream.h"

class CInertStream : public CStream {
public:
    CInertStream() = default;
    explicit CInertStream(UserInfo *user) : CStream(user) {}
    int ReadBytes(void *, int) override { return 0; }
    int WriteBytes(const void *, int count) override { return count; }
    void SetReadTimeout(DWORD) override {}
    void SetWriteTimeout(DWORD) override {}
    void SetBaudRate(DWORD) override {}
    void SetCtsFlowControl(BOOL) override {}
    void AddUser(UserInfo *, CStream *) override {}
    void RemoveUser(UserInfo *) override {}
};
