// Trace lines are formatted into a fixed buffer on the caller's stack: they
// are written after an allocation failed, where the heap cannot be relied on.
#include "framework/trace.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include "framework/sync.h"

namespace fw {

namespace {
volatile LONG g_count = 0;  // any thread, interlocked
CriticalSection &LastLock() {
    static CriticalSection cs;
    return cs;
}
char g_last[256];  // under LastLock()
}  // namespace

void Trace(const char *format, ...) {
    char line[256] = "norvane: ";
    const size_t prefix = strlen(line);
    va_list args;
    va_start(args, format);
    vsnprintf(line + prefix, sizeof line - prefix - 2, format, args);
    va_end(args);
    strcat(line, "\n");
    ::OutputDebugStringA(line);
    {
        Lock lock(LastLock());
        memcpy(g_last, line, sizeof g_last);
    }
    ::InterlockedIncrement(&g_count);
}

long TraceCount() { return g_count; }

std::string LastTrace() {
    Lock lock(LastLock());
    return g_last;
}

}  // namespace fw
