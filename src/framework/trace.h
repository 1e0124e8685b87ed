// Trace lines: what the hub did about a failure that it survived.
//
// The hub has no general log, and the operator must not be interrupted for a
// connection that a peer broke; but a failure that ended a connection must
// leave a trace somewhere. Trace lines go to the debugger output (under Wine:
// WINEDEBUG=+debugstr) with the prefix "norvane: ", and the last few are kept
// in memory so tests can see them.
#pragma once
#include <windows.h>
#include <string>

namespace fw {

// printf-style; never throws, never allocates from the heap.
void Trace(const char *format, ...);
// Trace lines written so far in this process, and the latest one (tests).
long TraceCount();
std::string LastTrace();

}  // namespace fw
