/*
 * The contract between the Norvane hub and an in-process plug-in DLL.
 *
 * A plug-in author builds against this header alone. Everything here is fixed
 * by plug-ins already in the field: the record layouts are 32-bit, the message
 * values and the entry point's calling convention never change. The hub uses
 * the same definitions, so the two sides cannot drift apart.
 *
 * The header compiles without <windows.h> so that the hub's byte-level code
 * (packet framing, connect-request parsing) can share the packet constants on
 * any platform; the entry point declaration needs Windows.
 */
#ifndef NORVANE_PLUGIN_H
#define NORVANE_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Packet commands the hub gives a meaning; every other command is application
 * data and passes between handheld and plug-in unchanged. */
enum {
    NV_CMD_HUB_BEACON       = 1,
    NV_CMD_CONNECT_REQUEST  = 2,
    NV_CMD_CONNECT_ACCEPTED = 3,
    NV_CMD_CONNECT_FAILED   = 4,
    NV_CMD_ECHO             = 5,
    NV_CMD_NOOP             = 6,
    NV_CMD_USER_ADDED       = 9,
    NV_CMD_USER_REMOVED     = 10,
    NV_CMD_PLUGIN_NAME      = 12
};

/* A packet in memory is its wire form: command, 16-bit little-endian length,
 * and when that length is 0xFFFF a 32-bit little-endian extended length, then
 * the payload. */
#define NV_PACKET_SHORT_HEADER   3u
#define NV_PACKET_LONG_HEADER    7u
#define NV_PACKET_LENGTH_ESCAPE  0xFFFFu

/* Thread messages between the hub and a plug-in thread. wParam is always the
 * user's UserInfo address; lParam a packet in fixed global memory (or 0). */
#define WM_PLUGIN_USER_ADDED    0x1492u  /* hub -> plug-in: a user attached        */
#define WM_PLUGIN_USER_REMOVED  0x1493u  /* hub -> plug-in: forget this UserInfo   */
#define WM_PLUGIN_USER_PACKET   0x1494u  /* hub -> plug-in: packet; plug-in frees  */
#define WM_PLUGIN_PACKET        0x1495u  /* plug-in -> UserInfo.replyThreadId      */

/* One handheld user. Its address identifies the user; it stays valid from
 * WM_PLUGIN_USER_ADDED until WM_PLUGIN_USER_REMOVED. */
typedef struct UserInfo {
    uint32_t id;             /* connection id: 1..99 COM port, 100.. network */
    char    *userName;       /* zero-terminated; owned by the hub */
    uint32_t replyThreadId;  /* post WM_PLUGIN_PACKET for this user here */
    uint8_t  flags;          /* bit 1 of the user's last connect request */
} UserInfo;

/* Filled in by VelmarMain. The hub zeroes it before the call and frees it
 * right after: do not keep its address. */
typedef struct PluginInfo {
    uint32_t threadId;  /* the plug-in's message thread; must not be 0 */
    uint32_t value1;    /* the plug-in's own; kept, never interpreted */
    uint32_t value2;    /* the plug-in's own; kept, never interpreted */
    uint32_t hThread;   /* HANDLE of that thread; waited on at unload */
} PluginInfo;

#if defined(__cplusplus) && (__cplusplus >= 201103L)
static_assert(sizeof(PluginInfo) == 16, "PluginInfo is a fixed 16-byte block");
#endif

#ifdef _WIN32
/* Exported undecorated (link with -Wl,--kill-at or a .def file). Returns
 * nonzero when the plug-in's thread is running and PluginInfo is filled. */
typedef int (__stdcall *VelmarMainProc)(void *hubWindow, PluginInfo *info);
#define NV_ENTRY_POINT_NAME "VelmarMain"

/* The entry point every plug-in defines. Declared here so that a definition
 * with another calling convention or other arguments fails to compile
 * instead of crashing the hub when it calls it. */
__declspec(dllexport) int __stdcall VelmarMain(void *hubWindow, PluginInfo *info);
#endif

#ifdef __cplusplus
}
#endif

#endif /* NORVANE_PLUGIN_H */
