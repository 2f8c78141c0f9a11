// Resource, control and command ids, kept at their historic values: the form,
// the menus and the string table all key on them.
#pragma once

namespace ondrel {

// Templates and shared resources
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_ONDREL_FORM = 101;
inline constexpr int IDR_MAINFRAME = 128;

// Controls of the form
inline constexpr int IDC_KV_MONITOR = 1000;
inline constexpr int IDC_UA_MONITOR = 1001;
inline constexpr int IDC_MSCOMM = 1002;
inline constexpr int IDC_CHECK_KV = 1012;
inline constexpr int IDC_CHECK_MA = 1013;
inline constexpr int IDC_CHECK_XRAY = 1014;
inline constexpr int IDC_TEMP_MONITOR = 1015;
inline constexpr int IDC_VERSION = 1016;
inline constexpr int IDC_FAULTS = 1017;
inline constexpr int IDC_CLEAR_FAULTS = 1018;
inline constexpr int IDC_STATIC = 65535; // the null id: nothing refers to the control
inline constexpr int IDOK = 1;

// Commands
inline constexpr int ID_FILE_NEW = 0xE100;
inline constexpr int ID_FILE_OPEN = 0xE101;
inline constexpr int ID_FILE_CLOSE = 0xE102;
inline constexpr int ID_FILE_SAVE = 0xE103;
inline constexpr int ID_FILE_SAVE_AS = 0xE104;
inline constexpr int ID_FILE_PAGE_SETUP = 0xE105;
inline constexpr int ID_FILE_PRINT_SETUP = 0xE106;
inline constexpr int ID_FILE_PRINT = 0xE107;
inline constexpr int ID_FILE_PRINT_DIRECT = 0xE108;
inline constexpr int ID_FILE_PRINT_PREVIEW = 0xE109;
inline constexpr int ID_FILE_MRU_FILE1 = 0xE110;
inline constexpr int ID_FILE_MRU_FILE16 = 0xE11F;
inline constexpr int ID_EDIT_CLEAR = 0xE120;
inline constexpr int ID_EDIT_CLEAR_ALL = 0xE121;
inline constexpr int ID_EDIT_COPY = 0xE122;
inline constexpr int ID_EDIT_CUT = 0xE123;
inline constexpr int ID_EDIT_FIND = 0xE124;
inline constexpr int ID_EDIT_PASTE = 0xE125;
inline constexpr int ID_EDIT_REPEAT = 0xE128;
inline constexpr int ID_EDIT_REPLACE = 0xE129;
inline constexpr int ID_EDIT_SELECT_ALL = 0xE12A;
inline constexpr int ID_EDIT_UNDO = 0xE12B;
inline constexpr int ID_EDIT_REDO = 0xE12C;
inline constexpr int ID_WINDOW_SPLIT = 0xE135;
inline constexpr int ID_APP_ABOUT = 0xE140;
inline constexpr int ID_APP_EXIT = 0xE141;
inline constexpr int ID_NEXT_PANE = 0xE150;
inline constexpr int ID_PREV_PANE = 0xE151;
inline constexpr int ID_VIEW_TOOLBAR = 0xE800;
inline constexpr int ID_VIEW_STATUS_BAR = 0xE801;
inline constexpr int ID_VIEW_TREND = 32771; // the first id free for the application's own commands
inline constexpr int AFX_IDS_APP_TITLE = 0xE000;
inline constexpr int AFX_IDS_IDLEMESSAGE = 0xE001;
inline constexpr int ID_INDICATOR_EXT = 0xE700;
inline constexpr int ID_INDICATOR_CAPS = 0xE701;
inline constexpr int ID_INDICATOR_NUM = 0xE702;
inline constexpr int ID_INDICATOR_SCRL = 0xE703;
inline constexpr int ID_INDICATOR_OVR = 0xE704;
inline constexpr int ID_INDICATOR_REC = 0xE705;
inline constexpr int AFX_IDS_SCSIZE = 0xEF00;
inline constexpr int AFX_IDS_PREVIEW_CLOSE = 0xF005;
inline constexpr int ID_SEPARATOR = 0;

} // namespace ondrel
