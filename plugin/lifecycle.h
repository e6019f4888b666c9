// Load and unload notifications (DllMain).
#pragma once

#include <windows.h>

BOOL on_module_notification(HMODULE module, DWORD reason);
