/*
 * NoEntryPoint: a DLL that is not a plug-in (it lacks VelmarMain). The hub's
 * tests place it among plug-ins to show that such a DLL is loaded once,
 * recognised, and unloaded again.
 */
#include <windows.h>

__declspec(dllexport) int __stdcall NotAPlugin(void) { return 42; }
