#pragma once

// The ids that the resource script and the dialogs' code share. Plain macros: the resource
// compiler reads this header too, and it understands nothing else.

#define IDR_MAINFRAME 128 // the application icon

#define IDD_ABOUTBOX 100
#define IDD_UPDATER_DIALOG 102
#define IDD_PROGRESS_DIALOG 103

#define IDS_ABOUTBOX 101    // text of the system menu's About item
#define IDM_ABOUTBOX 0x0010 // its command id: a multiple of 16, as system commands must be

#define IDC_UPDATE_BUTTON 1000
#define IDC_PORT_COMBO 1001
#define IDC_SPEED_COMBO 1002
#define IDC_PROGRESS_BAR 1004
#define IDC_PROGRESS_MESSAGE 1005 // its text changes when the update reads the flash back
#define IDC_ABOUT_NOTICE 1006     // set from the build's and the command line's choices

// A dialog's initial data: the strings its list controls start with, in the resource
// type of that name. Windows' headers have no name for it.
#define RT_DLGINIT_ID 240

// The messages that initial data names, by their 16-bit values as resource editors write
// them; the dialog sends the 32-bit message of the same meaning.
#define DLGINIT_LB_ADDSTRING 0x0401
#define DLGINIT_CB_ADDSTRING 0x0403
