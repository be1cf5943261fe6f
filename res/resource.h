// Resource and control ids of Vostrel.exe. Included by the resource script and by the C++ code.
#pragma once

#define IDD_ABOUTBOX            100
#define IDD_MAIN                102
#define IDR_MAINFRAME           128

#define IDB_READY               130
#define IDB_PASS                131
#define IDB_FAIL                132
#define IDB_SEARCHING           133
#define IDB_PORT_ERROR          134
#define IDB_RUNNING             135
#define IDB_NOTICE_SIGN         136

#define IDC_EXIT                1000
#define IDC_PORT_LIST           1001
#define IDC_STATUS_PICTURE      1002
#define IDC_ENTRY               1003
#define IDC_READOUT             1004
#define IDC_HIDDEN_OK           1006
#define IDC_HELP_BUTTON         1007
#define IDC_PORT_LABEL          1008
#define IDC_BARCODE_LABEL       1009
#define IDC_READ_LABEL          1010
#define IDC_ENTER_DOWNLOAD      1012
#define IDC_REVERSE_PORT        1013
#define IDC_HIDDEN_1014         1014
#define IDC_SIM_STATUS          1015
#define IDC_CODE                1016
#define IDC_EXIT_DOWNLOAD       1017
#define IDC_HIDDEN_1018         1018
#define IDC_STATUS_LINE         1020

#define IDC_STATIC              -1

#define ID_HELP                 57670
#define WM_STATUS_REFRESH       101
