// The dialogs a host opens through ConfigurationDlg: the settings dialog
// (fnc 1) and the about box (fnc 0). Both are modal: nothing of them
// outlives the call, so a host may unload the plug-in right after.
#pragma once

#include <windows.h>

// 0 once the dialog closed (saved or not); -1 for any other fnc or when
// the dialog cannot be shown.
int open_configuration(HWND parent, int fnc);
