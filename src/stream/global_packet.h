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

// Buffers allocated and not yet freed, and allocations ever made (tests).
long GlobalPacketsLive();
long GlobalPacketsAllocated();
