/*
 * probe: what Windows itself reports about a process under Wine, which /proc
 * cannot tell: its Windows thread count and its handle count.
 *
 *   probe.exe IMAGE-NAME     prints "pid threads handles" for each process of that name
 *
 * A handle count Wine does not support prints as -1.
 */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>

int main(int argc, char **argv) {
    PROCESSENTRY32 entry;
    HANDLE snapshot;
    int found = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: probe IMAGE-NAME\n");
        return 2;
    }
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        DWORD handles = 0;
        long shown = -1;
        HANDLE process;
        if (lstrcmpiA(entry.szExeFile, argv[1]) != 0) continue;
        process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
        if (process && GetProcessHandleCount(process, &handles) && handles > 0) shown = (long)handles;
        if (process) CloseHandle(process);
        printf("%lu %lu %ld\n", entry.th32ProcessID, entry.cntThreads, shown);
        ++found;
    }
    CloseHandle(snapshot);
    fflush(stdout);
    return found ? 0 : 1;
}
