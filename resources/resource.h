// Resource ids of Tervalo.
#pragma once

#define IDD_ABOUT 100
#define IDS_ABOUT 101
#define IDD_MAIN 102
#define IDI_APP 128
#define IDC_FILENAME 1000

// The About entry of the main dialog's system menu. System menu commands
// keep their low four bits for the system.
#define IDM_ABOUT 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
