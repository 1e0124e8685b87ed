// AttachedUser: the router's attach and the connection's teardown in small.
#include "attached_user.h"
#include <string.h>
#include "stream/global_packet.h"
#include "stream/plugin_thread_stream.h"

AttachedUser::AttachedUser(uint32_t id, DWORD pluginThreadId, const std::string &name)
    : info(), user(&info), m_strName(name) {
    info.id = id;
    info.userName = &m_strName[0];
    stream = new CPluginThreadStream(&info, pluginThreadId, FALSE);
    stream->Open();
    info.replyThreadId = stream->GetReplyThreadId();
    user.SetPeer(stream);
    stream->AddUser(&info, &user);
}

AttachedUser::~AttachedUser() { Detach(); }

void AttachedUser::Detach() {
    if (!stream) return;
    user.DetachPeer(&info);
    stream = nullptr;
}

void AttachedUser::Send(const Bytes &packet) {
    user.Arrive(packet);
    user.DispatchAll();
}

bool AttachedUser::PostFromPlugin(const Bytes &packet, UserInfo *as) {
    uint8_t *copy = AllocGlobalPacket(packet.size());
    if (!copy) return false;
    memcpy(copy, packet.data(), packet.size());
    if (::PostThreadMessageA(info.replyThreadId, WM_PLUGIN_PACKET, reinterpret_cast<WPARAM>(as ? as : &info),
                             reinterpret_cast<LPARAM>(copy)))
        return true;
    FreeGlobalPacket(copy);
    return false;
}

bool WaitForLivePackets(long live, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (GlobalPacketsLive() != live) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(5);
    }
    return true;
}
