// What the module does when the loader attaches and detaches it.
#include "plugin/lifecycle.h"

#include <shlwapi.h>

#include "core/module.h"
#include "driver/archiver.h"
#include "driver/scratch.h"
#include "plugin/password_dialog.h"
#include "tables/cache.h"
#include "tables/handed.h"

BOOL on_module_notification(HMODULE module, DWORD reason) {
    wchar16 work[kPathChars];
    if (!module_handle()) ensure_work_area(work);
    set_module_handle(module);
    // Only the question is installed here; none is ever asked from here.
    if (reason == DLL_PROCESS_ATTACH) set_password_asker(ask_password);
    if (reason == DLL_PROCESS_DETACH) {
        // The tables first: members kept for them go with them, and a
        // folder that would not go is among the leftovers tried next.
        table_cache().clear();
        remove_leftover_scratch();
        if (work_area_path(work) && PathIsDirectoryW(work)) RemoveDirectoryW(work);
        handed_tables().clear();
    }
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    return on_module_notification(module, reason);
}
