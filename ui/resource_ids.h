// Identifiers of the program's resources and of the controls in its dialogs.
// Shared by the resource script and the code, so plain macros.
#pragma once

#define IDD_MAIN 102
#define IDI_CLEANER 128
#define IDD_PROMPT 129
#define IDD_BOX 130

// Main window.
// Not the cancel command (2), which Escape sends to a dialog: Escape must
// never end the program, the Exit button must.
#define IDC_EXIT 1031
#define IDC_START_SCAN 1000
#define IDC_ACTION_SCAN_ONLY 1002
#define IDC_ACTION_ASK 1003
#define IDC_ACTION_CLEAN 1004
#define IDC_PATHS_LIST 1009
#define IDC_FILES_LIST 1010
#define IDC_LISTED_PATHS 1011
#define IDC_ALL_PATHS 1012
#define IDC_STOP_SCAN 1013
#define IDC_ADD_PATH 1014
#define IDC_ALL_FILES 1015
#define IDC_SELECTED_TYPES 1016
#define IDC_REMOVE_PATH 1017
#define IDC_SCAN_LABEL 1023
#define IDC_OBJECT_LABEL 1024
#define IDC_PATHS_FRAME 1027
#define IDC_SHOW_ALL 1028
#define IDC_ACTION_FRAME 1029
#define IDC_TYPES_FRAME 1030

// Infection prompt.
#define IDC_DISINFECT 1018
#define IDC_SKIP 1019
#define IDC_QUIT 1021
#define IDC_OBJECT_LINE 1022
#define IDC_INFECTED_WITH 1025
#define IDC_FILE_WORD 1026

// Message boxes. The text has the id of the system's own boxes' text.
#define IDC_BOX_ICON 1040
#define IDC_BOX_TEXT 0xFFFF
