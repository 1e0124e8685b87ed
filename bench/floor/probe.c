/*
 * probe: what Windows itself reports about a process under Wine, which /proc
 * cannot tell: its Windows thread count and its handle count.
 *
 *   probe.exe IMAGE-NAME     prints "pid threads handles" for each process of that name
 *
 * Wine answers GetProcessHandleCount with nothing, but it does list every
 * handle of the system (the query that handle viewers use), so the handles
 * are counted from that list. A count that cannot be had prints as -1.
 */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>

/* The system information class and record that list every handle. */
#define SYSTEM_HANDLE_INFORMATION_CLASS 16
#define STATUS_INFO_LENGTH_MISMATCH ((LONG)0xC0000004)

typedef struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType, flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
} HandleEntry;

typedef struct HandleList {
    ULONG count;
    HandleEntry entries[1];
} HandleList;

typedef LONG(WINAPI *QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

/* Every handle in the system, or NULL; the caller frees it. */
static HandleList *AllHandles(void) {
    QuerySystemInformation query =
        (QuerySystemInformation)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    ULONG size = 1 << 16;
    if (!query) return NULL;
    for (int tries = 0; tries < 12; ++tries, size *= 2) {
        HandleList *list = malloc(size);
        ULONG needed = 0;
        LONG status;
        if (!list) return NULL;
        status = query(SYSTEM_HANDLE_INFORMATION_CLASS, list, size, &needed);
        if (status == 0) return list;
        free(list);
        if (status != STATUS_INFO_LENGTH_MISMATCH) return NULL;
    }
    return NULL;
}

static long CountHandles(const HandleList *list, DWORD pid) {
    long n = 0;
    if (!list) return -1;
    for (ULONG i = 0; i < list->count; ++i) n += list->entries[i].ownerPid == pid;
    return n > 0 ? n : -1;
}

int main(int argc, char **argv) {
    PROCESSENTRY32 entry;
    HANDLE snapshot;
    HandleList *handles;
    int found = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: probe IMAGE-NAME\n");
        return 2;
    }
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    handles = AllHandles();
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, argv[1]) != 0) continue;
        printf("%lu %lu %ld\n", entry.th32ProcessID, entry.cntThreads, CountHandles(handles, entry.th32ProcessID));
        ++found;
    }
    free(handles);
    CloseHandle(snapshot);
    fflush(stdout);
    return found ? 0 : 1;
}
