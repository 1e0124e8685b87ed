/* wine-hold: the long-lived, windowless program of a private Wine session.
 *
 * The first program of a session makes Wine start its desktop and service
 * processes, and those inherit that program's stdout and stderr. If a test were
 * first, CTest would wait on its pipes until the session ends. This program is
 * started first, detached, with its output in a file; it asks for the desktop so
 * the desktop process starts now, says "ready", and sleeps until the session is
 * torn down. Its presence also keeps the persistent wineserver's helpers running. */
#include <windows.h>
#include <stdio.h>

int main(void)
{
    GetDesktopWindow();
    puts("ready");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
