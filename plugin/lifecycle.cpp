// What the module does when the loader attaches and detaches it.
#include "plugin/lifecycle.h"

#include <shlwapi.h>

#include "core/module.h"
#include "driver/archiver.h"
#include "driver/lasting.h"
#include "driver/scratch.h"
#include "driver/sweep.h"
#include "plugin/password_dialog.h"
#include "tables/cache.h"
#include "tables/handed.h"

namespace {

// Where the record of tables handed out waits from an unload to the next load.
LastingMemory g_handed_record;

// The record an earlier load of this file in this process left, if any.
void take_handed_record(HMODULE module) {
    wchar_t path[kPathChars];
    DWORD got = GetModuleFileNameW(module, path, kPathChars);
    bool fresh = false;
    if (got == 0 || got >= kPathChars || !g_handed_record.open(path, HandedTables::kRecordBytes, fresh))
        handed_tables().distrust();
    else
        handed_tables().restore(g_handed_record.data(), fresh);
}

}  // namespace

BOOL on_module_notification(HMODULE module, DWORD reason) {
    wchar16 work[kPathChars];
    if (!module_handle()) ensure_work_area(work);
    set_module_handle(module);
    // Only the question is installed here; none is ever asked from here.
    if (reason == DLL_PROCESS_ATTACH) {
        count_load_in();
        take_handed_record(module);
        set_password_asker(ask_password);
    }
    if (reason == DLL_PROCESS_DETACH) {
        // The tables first: members kept for them go with them, and a
        // folder that would not go is among the leftovers tried next.
        table_cache().clear();
        remove_leftover_scratch();
        if (work_area_path(work) && PathIsDirectoryW(work)) RemoveDirectoryW(work);
        // A host may load the plug-in again and go on with the positions it holds.
        if (g_handed_record.data()) handed_tables().save(g_handed_record.data());
        g_handed_record.close();
        count_load_out();
    }
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    return on_module_notification(module, reason);
}
