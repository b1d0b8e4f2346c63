// Resource ids of the Windows program: the icon, the controls of the main
// dialog MAINDLG and of the overwrite dialog OVERWRITE_DLG. Shared by the
// resource script and the dialog code (UI thread and worker).
#pragma once

#define IDI_ICON1 101

// MAINDLG
#define IDC_FILE 1000
#define IDC_BROWSE 1001
// winuser.h has an old cursor id of this name; this file comes after it.
#undef IDC_SIZE
#define IDC_SIZE 1002
#define IDC_DIVIDE_SIZE 1003
#define IDC_DIVIDES 1004
#define IDC_CRC_DATA_SIZE 1005
#define IDC_START 1009
#define IDC_STOP 1010
#define IDC_STATUS_LIST 1011
#define IDC_ORIGINAL 1012
#define IDC_COPY 1013
#define IDC_YOUR_IP 1014
#define IDC_REMOTE_IP 1015
#define IDC_NOTHING 1016
#define IDC_CLIENT 1017
#define IDC_SERVER 1018
#define IDC_PORT 1019

// The command of the window's system menu that opens CODE_DLG (the low four
// bits of a system command are the system's).
#define IDM_PAIRING_CODE 0x0100

// CODE_DLG
#define IDC_CODE 1101
#define IDC_NEW_CODE 1102
#define IDC_CODE_HINT 1103

// OVERWRITE_DLG (its ids overlap those of MAINDLG; the dialogs are apart)
#define IDC_MESSAGE 1018
#define IDC_OVERWRITE 1019
#define IDC_SAVE_AS 1020
#define IDC_NEW_NAME 1021
