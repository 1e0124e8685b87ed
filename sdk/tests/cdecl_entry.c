/* Must not compile: VelmarMain defined with the caller-cleans convention.
 * The hub calls it as __stdcall, and the stack would be off after the call. */
#include <windows.h>
#include "norvane_plugin.h"

int __cdecl VelmarMain(void *hubWindow, PluginInfo *info) {
    (void)hubWindow;
    (void)info;
    return 1;
}
