// Window messages by which streams hand over to the hub window. They live
// with the streams, which send them, so that the stream layer needs nothing
// from the application above it; the hub window's own messages and commands
// build on these (app/hub_messages.h). The values are fixed: outside tools
// post or send them too.
#pragma once

#define NV_WM_USER 0x0400u
#define WM_STREAM_CONNECT   (NV_WM_USER + 2)  // stream -> hub (sent): UserInfo*, connect packet
#define WM_STREAM_CLOSED    (NV_WM_USER + 3)  // network user stream -> hub (sent): UserInfo*
#define WM_PLUGIN_REGISTER  0x149Au           // plug-in stream -> hub (sent): CPluginRecord*, 1 add / 0 remove
#define WM_STREAM_FOREIGN   0x14F6u           // stream -> hub (sent): the stream; nobody handles it
// Internal: a plug-in side stream could not post to its plug-in thread; the
// hub detaches that user (posted). wParam UserInfo*, lParam the plug-in side stream.
#define WM_PLUGIN_LINK_FAILED (NV_WM_USER + 0x40)
// Internal: a network plug-in's reader thread, after its plug-in went and the
// record left the catalogue, hands the record over to be destroyed (sent).
// wParam CPluginRecord*.
#define WM_PLUGIN_LINK_ENDED (NV_WM_USER + 0x41)
