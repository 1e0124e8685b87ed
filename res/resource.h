// Resource identifiers. The numbers are fixed: the string table and templates
// are addressed by them throughout the program.
#pragma once

#define IDD_ABOUTBOX            100
#define IDS_WINSOCK_INIT_FAILED 104
#define IDI_DIALOG              145
#define IDI_TRAY                146
#define IDR_TRAY_MENU           130
#define IDD_MAIN                142
#define IDD_VIEW_ON_PALM        146
#define IDD_ADD_PORT            131
#define IDD_ADD_PALM_CLIENT     147
#define IDD_CONNECTION_WIZARD   148
#define IDD_ADD_POCKETPC_CLIENT 149

#define IDS_APP_TITLE           57344
#define IDS_HOTSYNC_NOT_ENABLED 61204
#define IDS_COULDNT_OPEN        61205
#define IDS_CONFIRM_REMOVE      61208
#define IDS_SELECT_TO_REMOVE    61209
#define IDS_ABOUT_TEXT          61210
#define IDS_SELECT_VALID_COM    61211

// Controls
#define IDC_ABOUT_TEXT          1021
#define IDC_CONNECTION_LIST     1019
#define IDC_START_WITH_PPT      1025
#define IDC_DISABLE_HOTSYNC     1026
#define IDC_ADD_CONNECTION      8
#define IDC_REMOVE_CONNECTION   7
#define IDC_ABOUT               5
#define IDC_EXIT                6
#define IDC_SETTINGS            32774
#define IDC_IP_ADDRESS          1029
#define IDC_PORT_LIST           1031
#define IDC_SERIAL              1033
#define IDC_NETWORK             1034
#define IDC_PALM                1036
#define IDC_POCKETPC            1037
#define IDC_PORT_HELP           57670
