// The dialogs' templates and controls, shared by the resource script and
// the code (and by tests that drive the dialogs as a user would).
#pragma once

#define IDD_SETTINGS 100
#define IDD_ABOUT 101

#define IDC_FOUND_LABEL 1000
#define IDC_FOUND 1001
#define IDC_DIR_LABEL 1002
#define IDC_DIR 1003
#define IDC_BROWSE 1004
#define IDC_EXT_LABEL 1005
#define IDC_EXT 1006
#define IDC_MAXMB_LABEL 1007
#define IDC_MAXMB 1008
#define IDC_TAR_LABEL 1009
#define IDC_TAR 1010
#define IDC_MESSAGE 1011
#define IDC_ABOUT_TEXT 1012
#define IDC_AHEADMB_LABEL 1013
#define IDC_AHEADMB 1014
#define IDC_TEST_LIST 1015
#define IDC_TEST_NOTE 1016

#define IDD_PASSWORD 110
#define IDC_PASSWORD_PROMPT 1100
#define IDC_PASSWORD_ARCHIVE 1101
#define IDC_PASSWORD 1102
