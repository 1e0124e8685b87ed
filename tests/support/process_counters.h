// What a process holds right now, for tests that prove nothing leaks: its
// threads, its open handles (sockets included) and its heap and committed
// private memory.
#pragma once
#include <stddef.h>

struct ProcessCounters {
    int threads = 0;
    int handles = 0;
    size_t heapBytes = 0;       // busy blocks of every heap of the process
    size_t committedBytes = 0;  // private committed pages

    static ProcessCounters Now();
};

// Threads of this process right now.
int ProcessThreadCount();
