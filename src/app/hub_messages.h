// Window messages and commands of the hub window. The values are fixed:
// handhelds' desktop tools and a second instance of the hub post them.
#pragma once

#define NV_WM_USER 0x0400u
#define WM_TRAY_NOTIFY      (NV_WM_USER + 1)  // shell -> hub: icon id, mouse message
#define WM_STREAM_CONNECT   (NV_WM_USER + 2)  // stream -> hub (sent): UserInfo*, connect packet
#define WM_STREAM_CLOSED    (NV_WM_USER + 3)  // network user stream -> hub (sent): UserInfo*
#define WM_PLUGIN_REGISTER  0x149Au           // plug-in stream -> hub (sent): CPluginRecord*, 1 add / 0 remove
#define WM_STREAM_FOREIGN   0x14F6u           // stream -> hub (sent): the stream; nobody handles it
// The hub's own: a network plug-in's reader thread, after its plug-in went and
// the record left the catalogue, hands the record over to be destroyed.
#define WM_PLUGIN_LINK_ENDED (NV_WM_USER + 0x40) // plug-in stream -> hub (sent): CPluginRecord*

// Commands (WM_COMMAND identifiers) the hub window answers.
enum HubCommand {
    ID_VIEW_ON_PALM   = 105,
    ID_ADD_PORT       = 32772,
    ID_SHOW_MAIN      = 32774,
    ID_APP_ABOUT      = 57664,
    ID_APP_EXIT       = 57665,
    // Platform help commands: no menu of the hub offers them.
    ID_HELP_FINDER    = 57667,  // help topics
    ID_CONTEXT_HELP   = 57669,
    ID_HELP           = 57670,
    ID_DEFAULT_HELP   = 57671,
};

// Title by which a second start finds the running hub.
#define NV_HUB_WINDOW_TITLE "Norvane Main Frame"
