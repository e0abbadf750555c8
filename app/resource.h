#pragma once

// Resource identifiers, shared by the resource script and the code.
#define IDD_DOWNLOAD 101
#define IDB_LOGO 103
#define IDI_APP 106
#define IDB_PAUSE 110
#define IDB_RESUME 111

#define IDC_PROGRESS 1002
#define IDC_VALUES 1005
#define IDC_LABELS 1006
#define IDC_LOGO 1007
#define IDC_MESSAGE 1008
#define IDC_PAUSE 1014
#define IDC_TIP 1015
