// The module handle the loader gave us; the settings file is found from it.
#pragma once

#include <windows.h>

HMODULE module_handle();
// Load and unload notifications (DllMain).
BOOL on_module_notification(HMODULE module, DWORD reason);
