// Resource ids of the Windows client: templates, menu, icons and the
// controls the code addresses. Shared by the resource script and the code.
#pragma once

#define IDD_CONNECTION 101
#define IDD_ABOUT 102
#define IDM_TRAY 103
#define IDI_CLIENT 104
#define IDI_TRAY 105
#define IDD_PIN_ENTRY 107

// Connection dialog (ids 1001 to 1009 are the core's DialogCommand values).
#define IDC_HOST 1001
#define IDC_PORT 1002
#define IDC_CONNECT 1003
#define IDC_DISCONNECT 1004
#define IDC_READERS 1005
#define IDC_CARD_PRESENT 1006
#define IDC_PROTOCOL 1007
#define IDC_OPEN 1008
#define IDC_CLOSE 1009
#define IDC_STATUS 1010
#define IDC_LOG 1011

// PIN entry dialog.
#define IDC_PIN 1012

// Tray menu commands.
#define ID_TRAY_ABOUT 40011
#define ID_TRAY_OPEN 40012
#define ID_TRAY_EXIT 40013
