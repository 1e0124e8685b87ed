/*
 * FailingEntry: a plug-in whose entry point always fails. It counts the calls
 * so that a test can see the hub call the entry point again on a later load.
 */
#include <windows.h>
#include "norvane_plugin.h"

static volatile LONG g_calls;

__declspec(dllexport) LONG __stdcall FailingEntryCalls(void) { return g_calls; }

__declspec(dllexport) int __stdcall VelmarMain(void *hubWindow, PluginInfo *info) {
    (void)hubWindow;
    (void)info;
    InterlockedIncrement(&g_calls);
    return 0;
}
