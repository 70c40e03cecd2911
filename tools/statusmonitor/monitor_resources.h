// Identifiers of PrinterStatusMonitor's resources, controls and commands,
// shared by the resource script and the code. The control identifiers
// are stable: automation and accessibility tools (and the end-to-end
// tests' driver) find the controls by them, as docs/PrinterStatusMonitor.md
// lists them.
#pragma once

// Icons, accelerators and the manifest.
#define IDI_MONITOR 1
#define IDI_MONITOR_ALERT 2
#define IDR_ACCELERATORS 1

// Controls of the main window.
#define IDC_PRINTERS_LABEL 100
#define IDC_PRINTERS 101
#define IDC_PRINTER_NAME 110
#define IDC_BINS_GROUP 120
#define IDC_BIN_LABEL 130  // + bin index 0..2
#define IDC_BIN_BAR 140    // + bin index
#define IDC_BIN_TEXT 150   // + bin index
#define IDC_CONFIG_GROUP 160
#define IDC_DUPLEX 161
#define IDC_CASSETTES 162
#define IDC_FIRMWARE 163
#define IDC_COUNTERS_LABEL 170
#define IDC_COUNTERS 171
#define IDC_LAST_READ 180
#define IDC_ALERTS_LABEL 190
#define IDC_ALERTS 191
#define IDC_REFRESH 200
#define IDC_HIDE 201
#define IDC_STATUS 210

// Commands of the menus and accelerators; Refresh and Hide are the
// buttons' own identifiers.
#define IDM_EXIT 300
#define IDM_ABOUT 301
#define IDM_OPEN 302

// Strings: the window and its controls.
#define IDS_APP_TITLE 1000
#define IDS_PRINTERS_LABEL 1001
#define IDS_COLUMN_PRINTER 1002
#define IDS_COLUMN_STATUS 1003
#define IDS_BINS_GROUP 1004
#define IDS_CONFIG_GROUP 1005
#define IDS_COUNTERS_LABEL 1006
#define IDS_COLUMN_COUNTER 1007
#define IDS_COLUMN_PAGES 1008
#define IDS_ALERTS_LABEL 1009
#define IDS_COLUMN_TIME 1010
#define IDS_COLUMN_ALERT 1011
#define IDS_REFRESH 1012
#define IDS_HIDE 1013
#define IDS_NO_PRINTER_SELECTED 1014

// Menus.
#define IDS_MENU_MONITOR 1020
#define IDS_MENU_REFRESH 1021
#define IDS_MENU_HIDE 1022
#define IDS_MENU_EXIT 1023
#define IDS_MENU_HELP 1024
#define IDS_MENU_ABOUT 1025
#define IDS_MENU_OPEN 1026
#define IDS_ABOUT_TITLE 1027
#define IDS_ABOUT_TEXT 1028

// A printer's values.
#define IDS_BIN_LABEL_PLAIN 1039
#define IDS_BIN_LABEL 1040
#define IDS_BIN_TEXT 1041
#define IDS_BIN_TEXT_LOW 1042
#define IDS_BIN_TEXT_EMPTY 1043
#define IDS_SOURCE_UNKNOWN 1044
#define IDS_NO_VALUE 1045
#define IDS_DUPLEX 1046
#define IDS_CASSETTES 1047
#define IDS_FIRMWARE 1048
#define IDS_YES 1049
#define IDS_NO 1050
#define IDS_COUNTER_MONO 1051  // + the counter's place in the list, 0..6

// When a printer was read, or why it could not be.
#define IDS_NOT_READ_YET 1070
#define IDS_NO_PRINTERS 1071
#define IDS_READ_AT 1072
#define IDS_FAILED_AT 1073
#define IDS_FAILED_SINCE 1074
#define IDS_FAIL_TIMED_OUT 1075
#define IDS_FAIL_TRANSPORT 1076
#define IDS_FAIL_REFUSED 1077
#define IDS_FAIL_REPLY 1078
#define IDS_FAIL_WIN32 1079
#define IDS_FAIL_ARGUMENT 1080
#define IDS_DATE_TIME 1081
#define IDS_WHERE_LOCAL 1082
#define IDS_WHERE_SERVER 1083
#define IDS_WHERE_BINDING 1084
#define IDS_UNKNOWN_ERROR 1085

// Short states (printer list, status bar, tooltip) and alerts.
#define IDS_SHORT_NOT_READ 1090
#define IDS_SHORT_READY 1091
#define IDS_SHORT_BIN_EMPTY 1092
#define IDS_SHORT_BIN_LOW 1093
#define IDS_SHORT_NOT_ANSWERING 1094
#define IDS_SHORT_REFUSED 1095
#define IDS_SHORT_UNREADABLE 1096
#define IDS_LIST_SEPARATOR 1097
#define IDS_TIP_LINE 1098
#define IDS_TIP_NONE 1099
#define IDS_ALERT_EMPTY 1100
#define IDS_ALERT_NOT_ANSWERING 1101
#define IDS_ALERT_FAILED 1102
#define IDS_BALLOON_TITLE 1103
#define IDS_SUMMARY_SEPARATOR 1104

// The command line.
#define IDS_HELP_USAGE 1120
#define IDS_HELP_FOOTER 1121
#define IDS_HELP_HELP 1122
#define IDS_HELP_VERSION 1123
#define IDS_OPT_PRINTER 1124
#define IDS_OPT_SERVER 1125
#define IDS_OPT_BINDING 1126
#define IDS_OPT_INTERVAL 1127
#define IDS_OPT_TIMEOUT 1128
#define IDS_OPT_LOW 1129
#define IDS_VALUE_NAME 1130
#define IDS_VALUE_HOST 1131
#define IDS_VALUE_BINDING 1132
#define IDS_VALUE_SECONDS 1133
#define IDS_VALUE_LEVEL 1134
#define IDS_EXPECT_NAME 1135
#define IDS_EXPECT_HOST 1136
#define IDS_EXPECT_BINDING 1137
#define IDS_EXPECT_INTERVAL 1138
#define IDS_EXPECT_TIMEOUT 1139
#define IDS_EXPECT_LOW 1140
#define IDS_ERR_PRINTER_LENGTH 1141
#define IDS_ERR_TOO_MANY_PRINTERS 1142
#define IDS_ERR_SERVER_AND_BINDING 1143
#define IDS_ERR_BINDING 1144
#define IDS_ERR_HOST_LENGTH 1145
#define IDS_ERR_WINDOW 1146

// Paper sizes by their Windows paper code (DMPAPER_*), and paper sources
// by their bin code (DMBIN_*): a code without a string is shown as its
// number.
#define IDS_PAPER_BASE 2000
#define IDS_SOURCE_BASE 2300
