// Resource ids of Quillforth, shared by quillforth.rc and the C++ code. Plain numbers only: the
// resource compiler reads this file too. Several dialogs reuse a control number; each use has
// its own name.
#pragma once

// The id of labels that the code never addresses.
#define IDC_STATIC (-1)

// Icons.
#define IDR_MAINFRAME 128    // the application icon; also the tray icon while the proxy runs
#define IDI_UPDATING 141     // tray: a batch resolve of all entries is running
#define IDI_STOPPED 142      // tray: the proxy is stopped
#define IDI_SERVER_DOWN 143  // tray: the upstream server did not answer the probe
#define IDI_BLINK 144        // tray: the second frame of both blinking states

// Bitmaps.
#define IDB_SORT_ASCENDING 148     // 9 x 5 header arrow of an ascending sort
#define IDB_SORT_DESCENDING 149    // 9 x 5 header arrow of a descending sort
#define IDB_EDIT_LIST_BUTTONS 150  // the editable list's four 12 x 12 button images

// Menus.
#define IDR_TRAY 132    // the tray icon's menu; its id equals the icon id
#define IDR_RCLICK 134  // the cache list's context menu

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_COLUMN_ID 102
#define IDS_SOCKETS_INIT_FAILED 103
#define IDS_COLUMN_DOMAIN 104
#define IDS_COLUMN_IP 105
#define IDS_COLUMN_HITS 106
#define IDS_COLUMN_LAST_HIT 107

// The system menu item of the about box.
#define IDM_ABOUTBOX 0x0010

// Dialogs.
#define IDD_ABOUTBOX 100
#define IDD_QUILLFORTH_DIALOG 102
#define IDD_DNS_ITEM 135
#define IDD_RESOLVE_PROGRESS 136
#define IDD_INFORMATION 138
#define IDD_OUTDATED 139

// Main dialog controls. "S&top" is command 3.
#define IDC_STOP 3
#define IDC_CACHE_LIST 1000
#define IDC_START_AT_LOGIN 1001
#define IDC_HIDE_AT_START 1002
#define IDC_ANSWER_LOCAL_NETWORK 1003
#define IDC_SERVER_LIST 1004
#define IDC_START 1005
#define IDC_SEARCH 1010
#define IDC_STATUS 1011
#define IDC_UPDATE_HOURS 1013
#define IDC_HIDE 1014
#define IDC_GO 1015
#define IDC_NSLOOKUP 1016
#define IDC_DONATE 1017
#define IDC_ABOUT 1018
#define IDC_DETAIL 1019

// About box.
#define IDC_WEB_LINK 1018
#define IDC_MAIL_LINK 1019

// Item dialog.
#define IDC_RESOLVE 3
#define IDC_ITEM_DOMAIN 1010
#define IDC_ITEM_TTL 1011
#define IDC_ITEM_ADDRESSES 1012

// Resolve progress window.
#define IDC_PROGRESS_TEXT 1010
#define IDC_PROGRESS_CAPTION 1011
#define IDC_PROGRESS_BAR 1016
#define IDC_PROGRESS_CANCEL 1017

// Statistics window.
#define IDC_INFORMATION_LIST 1000
#define IDC_ALWAYS_ON_TOP 1001
#define IDC_INFORMATION_CHART 1002

// Delete Outdated dialog.
#define IDC_OUTDATED_HOURS 1010

// Commands of the tray menu.
#define ID_TRAY_RESTORE 32771
#define ID_TRAY_EXIT 32772
#define ID_TRAY_START 32783
#define ID_TRAY_STOP 32784

// Commands of the cache list's context menu.
#define ID_CACHE_NEW 32773
#define ID_CACHE_DELETE 32774
#define ID_CACHE_RESOLVE 32775
#define ID_CACHE_RESOLVE_ALL 32776
#define ID_CACHE_CLEAR 32777
#define ID_CACHE_IMPORT 32778
#define ID_CACHE_EXPORT 32779
#define ID_CACHE_RESOLVE_UNRESOLVED 32780
#define ID_CACHE_SAVE 32781
#define ID_CACHE_DELETE_OUTDATED 32785
#define ID_CACHE_CLEAR_HITS_ALL 32786
#define ID_CACHE_CLEAR_HITS_SELECTED 32787
