/*
 * floor: the least a Windows echo server can do, run under the same Wine as
 * the hub so that the hub's figures can be read as ratios against it.
 *
 *   floor.exe [PORT]        (default 5343)
 *
 * One thread per connection, each sending back whatever it receives with one
 * recv and one send per chunk: no framing, no queues, no hand-overs. Whatever
 * the hub costs beyond this is its own design, not Wine's.
 */
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static DWORD WINAPI Echo(LPVOID arg) {
    SOCKET s = (SOCKET)(UINT_PTR)arg;
    char buffer[65536];
    int n;
    while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) {
        int off = 0;
        while (off < n) {
            int w = send(s, buffer + off, n - off, 0);
            if (w <= 0) goto done;
            off += w;
        }
    }
done:
    closesocket(s);
    return 0;
}

int main(int argc, char **argv) {
    WSADATA wsa;
    struct sockaddr_in addr;
    SOCKET listener;
    int one = 1;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)(argc > 1 ? atoi(argv[1]) : 5343));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener == INVALID_SOCKET || bind(listener, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        fprintf(stderr, "floor: Error %d: cannot listen\n", WSAGetLastError());
        return 1;
    }
    for (;;) {
        SOCKET s = accept(listener, NULL, NULL);
        HANDLE thread;
        if (s == INVALID_SOCKET) continue;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
        thread = CreateThread(NULL, 0, Echo, (LPVOID)(UINT_PTR)s, 0, NULL);
        if (thread) CloseHandle(thread);
        else closesocket(s);
    }
}
