// Every resource and control id of kelvor, shared by the resource script and the code.
#pragma once

// Strings
#define IDS_CLASS_NAME 110
#define IDS_APP_NAME 40000
#define IDS_BOOT_FAILED 40001
#define IDS_ALREADY_RUNNING 40002
#define IDS_SELECT_CACHE_DIR 40003
#define IDS_START_WITH_WINDOWS_FAILED 40004
#define IDS_CACHE_DIR_IS_ROOT 40010
#define IDS_CACHE_DIR_HOLDS 40011
#define IDS_CACHE_DIR_TOO_LONG 40012
#define IDS_TRIM_OFF 40013
#define IDS_CHOOSE_OTHER_DIR 40014
#define IDS_UNUSABLE_SIZE 40015
#define IDS_UNUSABLE_INTERVAL 40016
#define IDS_SAVE_FAILED 40017
#define IDS_SIZE_NOT_A_NUMBER 40018
#define IDS_CACHE_DIR_NOT_MADE 40019
#define IDS_PURGE_TITLE 40020
#define IDS_PURGE_DONE 40021
#define IDS_TIP_RUNNING 40022
#define IDS_TIP_CACHE 40023
#define IDS_TIP_STARTING 40024
#define IDS_TIP_STOPPED 40025
#define IDS_PROXY_EXIT_CODE 40026
#define IDS_PROXY_GAVE_UP 40027
#define IDS_PROXY_STOPPED_TITLE 40028
#define IDS_NO_TRAY_ICON 40029
#define IDS_OVER_LIMIT_TITLE 40030
#define IDS_OVER_LIMIT 40031
#define IDS_CACHE_DIR_UNREADABLE 40032
#define IDS_NOTHING_PURGED 40033
#define IDS_OPEN_FAILED 40034
#define IDS_LAN_SETTINGS 40035
#define IDS_SYSTEM_PROXY_TITLE 40036
#define IDS_SYSTEM_PROXY_REFUSED 40037
#define IDS_SYSTEM_PROXY_NOT_SAVED 40038
#define IDS_SYSTEM_PROXY_NOT_GIVEN_BACK 40039
#define IDS_SYSTEM_PROXY_RECOVERED 40040
#define IDS_SYSTEM_PROXY_KEPT 40041
#define IDS_CACHE_DIR_INSIDE 40042
#define IDS_CACHE_DIR_IS_LINK 40043
#define IDS_CACHE_DIR_UNSET 40044
#define IDS_UNSET_NO_CACHE 40045
#define IDS_SETTINGS_UNREADABLE 40046

// Icons: the same picture, large for the window class and the About box, small for the tray
// and the class's small icon; the stopped picture for the tray once the proxy is given up
#define IDI_LARGE 101
#define IDI_SMALL 102
#define IDI_STOPPED 103

// Menu and accelerators
#define IDM_MAIN 110
#define IDA_MAIN 110

// Commands
#define CMD_ABOUT 150
#define CMD_EXIT 151
#define CMD_CONFIG 152
#define CMD_RESTART 153
#define CMD_VIEW_LOG 154
#define CMD_PURGE_CACHE 155
#define CMD_SETTINGS 156
#define CMD_START_WITH_WINDOWS 157
#define CMD_SYSTEM_PROXY 158

// Dialogs and their controls
#define IDD_SETTINGS 101
#define IDD_ABOUT 104
#define IDC_ABOUT_ICON 111
#define IDC_CACHE_DIR 1000
#define IDC_BROWSE 1001
#define IDC_CACHE_SIZE 1002
// The main window's hidden child that holds the tray tip
#define IDC_TIP 1010
