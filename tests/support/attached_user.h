// A user attached to an in-process plug-in the way the router attaches one:
// an in-memory user stream, a CPluginThreadStream as its peer, the user's
// replyThreadId set before the plug-in hears of the user. Detaching (or
// destroying this) removes the user as the hub's connection teardown does.
#pragma once
#include <stdint.h>
#include <windows.h>
#include <string>
#include "memory_stream.h"
#include "norvane_plugin.h"

class CPluginThreadStream;

class AttachedUser {
public:
    AttachedUser(uint32_t id, DWORD pluginThreadId, const std::string &name = "Ann");
    ~AttachedUser();
    AttachedUser(const AttachedUser &) = delete;
    AttachedUser &operator=(const AttachedUser &) = delete;

    // The plug-in side stream is destroyed; the user stream stays.
    void Detach();
    // What a handheld sends: framed and forwarded by the user stream.
    void Send(const Bytes &packet);
    // What the plug-in does to answer: a global-memory copy posted to the
    // user's reply thread with `as` (default: this user) as wParam.
    bool PostFromPlugin(const Bytes &packet, UserInfo *as = nullptr);

    UserInfo info;
    CMemoryStream user;
    CPluginThreadStream *stream = nullptr;  // none once detached

private:
    std::string m_strName;
};

// Waits (without pumping) until the process holds `live` packet buffers.
bool WaitForLivePackets(long live, DWORD timeoutMs);
