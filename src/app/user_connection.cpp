// Destruction detaches the user from its plug-in before the stream goes, so a
// plug-in side stream never keeps a pointer to a UserInfo that is gone.
#include "app/user_connection.h"
#include "app/quarantine.h"
#include "stream/stream.h"
#include <atomic>
#include <cstring>

namespace {
std::atomic<unsigned> g_nextSerial{0};

void ReleaseName(void *name) { delete[] static_cast<char *>(name); }
void ReleaseUserInfo(void *info) { delete static_cast<UserInfo *>(info); }

char *CopyText(const char *text, size_t length) {
    char *copy = new char[length + 1];
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}
}  // namespace

CUserConnection::CUserConnection(CStream *s, int userInfoId, int connectionId, int index)
    : stream(s), id(connectionId), pluginIndex(index), userInfo(*new UserInfo()), serial(++g_nextSerial) {
    userInfo.id = static_cast<uint32_t>(userInfoId);
    userInfo.userName = CopyText("None", 4);
    userInfo.replyThreadId = 0;
    userInfo.flags = 0;
}

CUserConnection::~CUserConnection() {
    if (stream) {
        stream->DetachPeer(&userInfo);
        delete stream;  // closes the transport and ends its reader thread
        stream = nullptr;
    }
    CQuarantine::Hold(userInfo.userName, ReleaseName);
    CQuarantine::Hold(&userInfo, ReleaseUserInfo);
}

void CUserConnection::SetUserName(const char *text, size_t length) {
    char *copy = CopyText(text, length);
    CQuarantine::Hold(userInfo.userName, ReleaseName);
    userInfo.userName = copy;
}
