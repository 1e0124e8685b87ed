/*
 * SlowQuit: a plug-in whose thread needs a while to end after WM_QUIT, as a
 * plug-in that saves its state would. About four seconds by default; the
 * variable NORVANE_SLOWQUIT_MS, read when the entry point runs, changes it,
 * so a test can also make a thread that outlasts the hub's wait.
 */
#include <windows.h>
#include <stdlib.h>
#include "norvane_plugin.h"

typedef struct SlowStart {
    HANDLE ready;     /* set once the thread's queue exists */
    DWORD quitDelayMs;
} SlowStart;

static HANDLE g_hThread; /* closed at unload: the hub waits on it before */

static DWORD WINAPI SlowThread(LPVOID arg) {
    SlowStart *start = (SlowStart *)arg;
    DWORD delayMs = start->quitDelayMs;
    MSG msg;
    PeekMessageA(&msg, NULL, WM_USER, WM_USER, PM_NOREMOVE); /* creates the queue */
    SetEvent(start->ready); /* from here on *start is gone */
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message == WM_PLUGIN_USER_PACKET && msg.lParam)
            GlobalFree(GlobalHandle((LPCVOID)msg.lParam));
    }
    Sleep(delayMs);
    return 0;
}

static DWORD QuitDelay(void) {
    char text[16];
    DWORD n = GetEnvironmentVariableA("NORVANE_SLOWQUIT_MS", text, sizeof text);
    return n > 0 && n < sizeof text ? (DWORD)strtoul(text, NULL, 10) : 4000;
}

__declspec(dllexport) int __stdcall VelmarMain(void *hubWindow, PluginInfo *info) {
    SlowStart start;
    DWORD id = 0;
    HANDLE thread;
    (void)hubWindow;
    start.ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    start.quitDelayMs = QuitDelay();
    if (!start.ready) return 0;
    thread = CreateThread(NULL, 0, SlowThread, &start, 0, &id);
    if (thread) WaitForSingleObject(start.ready, INFINITE);
    CloseHandle(start.ready);
    if (!thread) return 0;
    g_hThread = thread;
    info->threadId = id;
    info->hThread = (uint32_t)(UINT_PTR)thread;
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    if (reason == DLL_PROCESS_DETACH && !reserved && g_hThread) CloseHandle(g_hThread);
    return TRUE;
}
