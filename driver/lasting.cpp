#include "driver/lasting.h"

#include <windows.h>

#include "driver/owner.h"
#include "driver/paths.h"

bool LastingMemory::open(const wchar16* module_path, size_t bytes, bool& fresh) {
    close();
    wchar_t digest[20];
    uint64_t d = path_digest(module_path, wide_len(module_path));
    wsprintfW(digest, L"%08lX%08lX", static_cast<unsigned long>(d >> 32), static_cast<unsigned long>(d));
    WideString name = WideString(L"Local\\rizazur.") + process_tag() + L"." + digest;
    SetLastError(ERROR_SUCCESS);
    KernelHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(bytes), name.c_str()));
    if (!section.valid()) return false;
    fresh = GetLastError() != ERROR_ALREADY_EXISTS;
    // One made elsewhere smaller than asked cannot hold the record.
    MEMORY_BASIC_INFORMATION info;
    void* view = MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (!view) return false;
    if (!VirtualQuery(view, &info, sizeof info) || info.RegionSize < bytes) {
        UnmapViewOfFile(view);
        return false;
    }
    view_ = view;
    // The maker's handle stays open for the life of the process: the block
    // must outlast this load.
    if (fresh)
        section.release();
    else
        section_ = std::move(section);
    return true;
}

void LastingMemory::close() {
    if (view_) UnmapViewOfFile(view_);
    view_ = nullptr;
    section_.reset();
}
