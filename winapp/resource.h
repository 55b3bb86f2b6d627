// Resource and control IDs of the dialog templates (vantrel.rc) and the code
// that drives them: one list for both.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_VANTREL_DIALOG 102
#define IDD_ASK_TEXT 103
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010

#define IDC_FILE_PATH 1000
#define IDC_AUTO_SEND 1002
#define IDC_SELECT_FILE 1004
#define IDC_RECEIVE 1005
#define IDC_PORT 1007
#define IDC_CLEAR 1008
#define IDC_SEND_MODE 1009
#define IDC_MANUAL_SEND 1010
#define IDC_SEND_TEXT 1011
#define IDC_PROGRESS 1013
#define IDC_LOG 1014
#define IDC_BURN_PROGRAMMER 1016
#define IDC_BURN_EMULATOR 1017
#define IDC_BURN_PROGRAM 1018
#define IDC_FRAME_LEN 1019
#define IDC_REPEAT_TIMES 1021
#define IDC_TIME_INTERVAL 1022
#define IDC_VER_PATCH 1024
#define IDC_VER_MINOR 1025
#define IDC_VER_MAJOR 1026
#define IDC_CHIP_CHECK 1027
#define IDC_OPEN_PORT 1032
#define IDC_BAUD_RATE 1045
#define IDC_DATA_BITS 1046
#define IDC_PARITY 1047
#define IDC_STOP_BITS 1048
// The small box that asks for a line of text (a raw binary's load address).
#define IDC_ASK_QUESTION 1100
#define IDC_ASK_ANSWER 1101
