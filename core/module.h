// The module handle the loader gave us; the settings file is found from it.
// The plug-in's load notification records it; a program that links the
// code in directly records the module whose settings it wants read.
#pragma once

#include <windows.h>

HMODULE module_handle();
void set_module_handle(HMODULE module);
