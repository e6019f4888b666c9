// What the module does when the loader attaches and detaches it.
#include <windows.h>
#include <shlwapi.h>

#include "driver/archiver.h"
#include "host/module.h"
#include "tables/cache.h"

namespace {
HMODULE g_module = nullptr;
}  // namespace

HMODULE module_handle() { return g_module; }

BOOL on_module_notification(HMODULE module, DWORD reason) {
    wchar16 work[kPathChars];
    if (!g_module) ensure_work_area(work);
    g_module = module;
    if (reason == DLL_PROCESS_DETACH) {
        if (work_area_path(work) && PathIsDirectoryW(work)) RemoveDirectoryW(work);
        table_cache().clear();
    }
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    return on_module_notification(module, reason);
}
