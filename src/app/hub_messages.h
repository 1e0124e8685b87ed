// Window messages and commands of the hub window. The values are fixed:
// handhelds' desktop tools and a second instance of the hub post them.
#pragma once
#include "stream/stream_messages.h"  // the streams' hand-overs

#define WM_TRAY_NOTIFY      (NV_WM_USER + 1)  // shell -> hub: icon id, mouse message

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
