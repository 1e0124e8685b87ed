/*
 * StallPlugin: the echo plug-in, except that a packet with command 0x7E
 * makes its thread stop taking messages for as many seconds as the packet's
 * first payload byte says. The hub's tests use it as a plug-in that falls
 * behind: the hub must slow that plug-in's users, lose none of their
 * packets, and keep everything else flowing.
 */
#include <windows.h>
#include "norvane_plugin.h"

/* A handful of users per plug-in is the norm; more than this get no echo. */
#define ECHO_MAX_USERS 256
/* A packet of this command stalls the thread (and is echoed afterwards). */
#define STALL_COMMAND 0x7E

typedef struct EchoUser {
    const UserInfo *user;    /* identity only: never dereferenced after USER_ADDED */
    DWORD replyThreadId;
} EchoUser;

typedef struct EchoUsers {
    EchoUser entries[ECHO_MAX_USERS];
    int count;
} EchoUsers;

static HANDLE g_hThread; /* this module's plug-in thread; closed at unload */

static void FreePacket(LPARAM packet) {
    if (packet) GlobalFree(GlobalHandle((LPCVOID)packet));
}

static int FindUser(const EchoUsers *users, const UserInfo *user) {
    int i;
    for (i = 0; i < users->count; ++i)
        if (users->entries[i].user == user) return i;
    return -1;
}

static void AddUser(EchoUsers *users, const UserInfo *user) {
    int at = FindUser(users, user);
    if (at < 0) {
        if (users->count == ECHO_MAX_USERS) return;
        at = users->count++;
    }
    users->entries[at].user = user;
    users->entries[at].replyThreadId = user->replyThreadId;
}

static void RemoveUser(EchoUsers *users, const UserInfo *user) {
    int at = FindUser(users, user);
    if (at >= 0) users->entries[at] = users->entries[--users->count];
}

static void EchoPacket(const EchoUsers *users, WPARAM user, LPARAM packet) {
    int at = FindUser(users, (const UserInfo *)user);
    const BYTE *bytes = (const BYTE *)packet;
    /* An ECHO here is the hub's answer to one of ours; sending it back
     * would start an endless exchange. */
    if (bytes && bytes[0] == STALL_COMMAND) {
        DWORD seconds = (bytes[1] | bytes[2] << 8) ? bytes[3] : 1;
        Sleep(seconds * 1000);
    }
    if (at < 0 || !bytes || bytes[0] == NV_CMD_ECHO ||
        !PostThreadMessageA(users->entries[at].replyThreadId, WM_PLUGIN_PACKET, user, packet))
        FreePacket(packet);
}

static DWORD WINAPI StallThread(LPVOID ready) {
    EchoUsers users;
    MSG msg;
    users.count = 0;
    PeekMessageA(&msg, NULL, WM_USER, WM_USER, PM_NOREMOVE); /* creates the queue */
    SetEvent((HANDLE)ready);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        switch (msg.message) {
        case WM_PLUGIN_USER_ADDED: AddUser(&users, (const UserInfo *)msg.wParam); break;
        case WM_PLUGIN_USER_REMOVED: RemoveUser(&users, (const UserInfo *)msg.wParam); break;
        case WM_PLUGIN_USER_PACKET: EchoPacket(&users, msg.wParam, msg.lParam); break;
        default: break;
        }
    }
    return 0;
}

__declspec(dllexport) int __stdcall VelmarMain(void *hubWindow, PluginInfo *info) {
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD id = 0;
    HANDLE thread;
    (void)hubWindow;
    if (!ready) return 0;
    thread = CreateThread(NULL, 0, StallThread, ready, 0, &id);
    if (thread) WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    if (!thread) return 0;
    g_hThread = thread;
    info->threadId = id;
    info->hThread = (uint32_t)(UINT_PTR)thread;
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    /* The hub waits on the thread handle before it unloads us, so the handle
     * stays open until then. */
    if (reason == DLL_PROCESS_DETACH && !reserved && g_hThread) CloseHandle(g_hThread);
    return TRUE;
}
