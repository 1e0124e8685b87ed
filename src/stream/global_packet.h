// Packet buffers in fixed global memory.
//
// Packets cross threads and the boundary into plug-in DLLs, and whoever
// receives one last frees it; the DLLs were built against GlobalAlloc and
// GlobalFree, so every packet the hub hands on comes from there. The live
// count lets tests prove that no path leaks or double-frees a buffer.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "stream/packet.h"

// GMEM_FIXED memory, pointer from GlobalLock; null when it cannot allocate.
uint8_t *AllocGlobalPacket(size_t size);
// GlobalFree of the pointer's GlobalHandle; null is ignored.
void FreeGlobalPacket(const void *packet);
// A copy of a complete packet (PacketSize bytes) in global memory, or null.
uint8_t *CopyToGlobalPacket(const uint8_t *packet);

// The same as an allocator, for the framer.
PacketAllocator &GlobalPacketAllocator();

// Whole pages straight from the system, for each link's read buffer: only
// the pages that reads reach become resident (a handheld's small packets
// touch one), and every page goes back to the system when the link ends.
// From the heap, the buffers of a crowd of handhelds that had left stayed in
// the process as free heap.
PacketAllocator &LinkBufferAllocator();

// Buffers allocated and not yet freed, and allocations ever made (tests).
long GlobalPacketsLive();
long GlobalPacketsAllocated();
