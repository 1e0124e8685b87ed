/*
 * slides: a handheld's buttons become the keys a presenter presses in the
 * presentation program (requests and answers: slides_protocol.h, keys and
 * their delivery: slide_keys.c).
 *
 * Everything runs on the plug-in's one thread, in the order the requests
 * arrive, so a row of "next" presses turns into the same row of keys. Every
 * request is answered, including those it cannot carry out: a presenter's
 * handheld must be able to show why nothing happened. Packets are read only
 * within the global block they arrived in (its GlobalSize), never trusting a
 * length field beyond it, so a damaged packet costs an error answer and
 * nothing else. Like every plug-in, the thread creates its message queue
 * before VelmarMain reports it, and the user table keeps its own copy of the
 * reply thread id because the hub may free a UserInfo while packets of that
 * user still wait in this queue.
 */
#include <windows.h>
#include "norvane_plugin.h"
#include "slide_keys.h"
#include "slides_protocol.h"

#define SLIDES_MAX_USERS 256 /* a presenter or two; more than this get no answers */

typedef struct SlideUser {
    const UserInfo *user; /* identity only: never dereferenced after USER_ADDED */
    DWORD replyThreadId;
} SlideUser;

typedef struct SlideUsers {
    SlideUser entries[SLIDES_MAX_USERS];
    int count;
} SlideUsers;

/* A request as read from its buffer. */
typedef struct Request {
    BYTE command;
    const BYTE *payload;
    size_t length;
    BOOL whole; /* the header and the payload it announces fit in the buffer */
} Request;

static HANDLE g_hThread; /* this module's plug-in thread; closed at unload */

static void FreePacket(LPARAM packet) {
    if (packet) GlobalFree(GlobalHandle((LPCVOID)packet));
}

static int FindUser(const SlideUsers *users, const UserInfo *user) {
    int i;
    for (i = 0; i < users->count; ++i)
        if (users->entries[i].user == user) return i;
    return -1;
}

static void AddUser(SlideUsers *users, const UserInfo *user) {
    int at = FindUser(users, user);
    if (at < 0) {
        if (users->count == SLIDES_MAX_USERS) return;
        at = users->count++;
    }
    users->entries[at].user = user;
    users->entries[at].replyThreadId = user->replyThreadId;
}

static void RemoveUser(SlideUsers *users, const UserInfo *user) {
    int at = FindUser(users, user);
    if (at >= 0) users->entries[at] = users->entries[--users->count];
}

/* FALSE when not even a command byte is there. */
static BOOL ReadRequest(LPARAM packet, Request *request) {
    const BYTE *bytes = (const BYTE *)packet;
    HGLOBAL block = bytes ? GlobalHandle(bytes) : NULL;
    SIZE_T size = block ? GlobalSize(block) : 0;
    size_t header = NV_PACKET_SHORT_HEADER;
    DWORD length;
    if (size < 1) return FALSE;
    request->command = bytes[0];
    request->payload = NULL;
    request->length = 0;
    request->whole = FALSE;
    if (size < NV_PACKET_SHORT_HEADER) return TRUE;
    length = bytes[1] | (DWORD)bytes[2] << 8;
    if (length == NV_PACKET_LENGTH_ESCAPE) {
        if (size < NV_PACKET_LONG_HEADER) return TRUE;
        header = NV_PACKET_LONG_HEADER;
        length = bytes[3] | (DWORD)bytes[4] << 8 | (DWORD)bytes[5] << 16 | (DWORD)bytes[6] << 24;
    }
    if (length > size - header) return TRUE;
    request->payload = bytes + header;
    request->length = length;
    request->whole = TRUE;
    return TRUE;
}

/* Answers one request; `details` follow the result byte (query only). */
static void Answer(DWORD replyThreadId, const UserInfo *user, BYTE command, BYTE result, const BYTE *details,
                   size_t detailLength) {
    size_t payload = 2 + detailLength;
    BYTE *packet = (BYTE *)GlobalAlloc(GMEM_FIXED, NV_PACKET_SHORT_HEADER + payload);
    if (!packet) return; /* out of memory: this one answer is lost, the plug-in goes on */
    packet[0] = SLIDES_ANSWER;
    packet[1] = (BYTE)(payload & 0xFF);
    packet[2] = (BYTE)(payload >> 8);
    packet[3] = command;
    packet[4] = result;
    if (detailLength) CopyMemory(packet + 5, details, detailLength);
    if (!PostThreadMessageA(replyThreadId, WM_PLUGIN_PACKET, (WPARAM)user, (LPARAM)packet))
        FreePacket((LPARAM)packet); /* the user is gone: still ours */
}

/* The query's details: the window's kind and its title. The window is never
 * one of this process (see FindPresentationWindow), and GetWindowText reads a
 * window of another process without sending it a message, so neither a hung
 * presentation program nor the hub's own busy thread can hold this one here. */
static size_t QueryDetails(const SlideTarget *target, BYTE *details) {
    char title[SLIDES_MAX_TITLE + 1];
    int n = GetWindowTextA(target->hwnd, title, sizeof title);
    if (n < 0) n = 0;
    details[0] = (BYTE)target->kind;
    CopyMemory(details + 1, title, (size_t)n);
    return 1 + (size_t)n;
}

static BYTE Perform(const Request *request, BYTE *details, size_t *detailLength) {
    KeySequence keys;
    SlideTarget target;
    int result;
    *detailLength = 0;
    if (!request->whole) {
        /* A damaged packet of one of our commands is malformed; anything else is not ours. */
        result = KeysForCommand(request->command, NULL, 0, &keys);
        return (BYTE)(result == SLIDES_RESULT_UNKNOWN ? SLIDES_RESULT_UNKNOWN : SLIDES_RESULT_MALFORMED);
    }
    result = KeysForCommand(request->command, request->payload, request->length, &keys);
    if (result != SLIDES_RESULT_DONE) return (BYTE)result;
    if (!FindPresentationWindow(&target)) return SLIDES_RESULT_NO_WINDOW;
    if (request->command == SLIDES_CMD_QUERY) {
        *detailLength = QueryDetails(&target, details);
        return SLIDES_RESULT_DONE;
    }
    return (BYTE)(PostKeys(target.hwnd, &keys) ? SLIDES_RESULT_DONE : SLIDES_RESULT_NOT_DELIVERED);
}

static void OnPacket(const SlideUsers *users, WPARAM wParam, LPARAM packet) {
    const UserInfo *user = (const UserInfo *)wParam;
    int at = FindUser(users, user);
    Request request;
    BYTE details[1 + SLIDES_MAX_TITLE];
    size_t detailLength = 0;
    BYTE result;
    /* ECHO here is the hub's answer to an echo, not a request: answering it
     * would send the handheld something it never asked for. */
    if (at >= 0 && ReadRequest(packet, &request) && request.command != NV_CMD_ECHO) {
        result = Perform(&request, details, &detailLength);
        Answer(users->entries[at].replyThreadId, user, request.command, result, details, detailLength);
    }
    FreePacket(packet);
}

static DWORD WINAPI SlidesThread(LPVOID ready) {
    SlideUsers users; /* this thread's own: a reload's second thread keeps its own table */
    MSG msg;
    users.count = 0;
    PeekMessageA(&msg, NULL, WM_USER, WM_USER, PM_NOREMOVE); /* creates the queue */
    SetEvent((HANDLE)ready);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        switch (msg.message) {
        case WM_PLUGIN_USER_ADDED: AddUser(&users, (const UserInfo *)msg.wParam); break;
        case WM_PLUGIN_USER_REMOVED: RemoveUser(&users, (const UserInfo *)msg.wParam); break;
        case WM_PLUGIN_USER_PACKET: OnPacket(&users, msg.wParam, msg.lParam); break;
        default: break;
        }
    }
    return 0;
}

__declspec(dllexport) int __stdcall VelmarMain(void *hubWindow, PluginInfo *info) {
    HANDLE ready, thread;
    DWORD id = 0;
    (void)hubWindow;
    ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ready) return 0;
    thread = CreateThread(NULL, 0, SlidesThread, ready, 0, &id);
    if (thread) WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    if (!thread) return 0;
    /* Called again while loaded (a second catalogue entry for this module):
     * the earlier thread's handle is dropped only once that thread is over. */
    if (g_hThread && WaitForSingleObject(g_hThread, 0) == WAIT_OBJECT_0) CloseHandle(g_hThread);
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
