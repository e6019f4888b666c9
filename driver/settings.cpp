#include <windows.h>
#include <shlwapi.h>

#include "core/module.h"
#include "driver/archiver.h"

namespace {

const wchar_t kSection[] = L"UserSetting";

void read_text(const wchar_t* ini, const wchar_t* key, const wchar_t* fallback,
               wchar_t (&out)[kPathChars]) {
    GetPrivateProfileStringW(kSection, key, fallback, out, kPathChars, ini);
}

}  // namespace

bool settings_path(wchar16 (&out)[kPathChars]) {
    DWORD n = GetModuleFileNameW(module_handle(), out, kPathChars);
    if (n == 0 || n >= kPathChars) {
        out[0] = 0;
        return false;
    }
    return PathRenameExtensionW(out, L".ini") != FALSE;
}

Settings read_settings() {
    Settings s;
    wchar_t ini[kPathChars];
    if (!settings_path(ini)) {
        // No settings file can be named: every default.
        copy_bounded(s.ext, kPathChars, L"*.7z;*.zip;*.rar");
        s.dir[0] = 0;
        s.maxMB = 64;
        copy_bounded(s.tar, kPathChars, L"*.tgz,*.taz");
        return s;
    }
    read_text(ini, L"ext", L"*.7z;*.zip;*.rar", s.ext);
    read_text(ini, L"dir", L"", s.dir);
    s.maxMB = static_cast<int>(GetPrivateProfileIntW(kSection, L"maxMB", 64, ini));
    read_text(ini, L"tar", L"*.tgz,*.taz", s.tar);
    return s;
}

static bool combine(const wchar_t* dir, const wchar_t* name, wchar16 (&out)[kPathChars]) {
    if (!PathCombineW(out, dir[0] ? dir : nullptr, name)) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool archiver_path(const Settings& s, wchar16 (&out)[kPathChars]) {
    return combine(s.dir, L"7z.exe", out);
}

bool archiver_library_path(const Settings& s, wchar16 (&out)[kPathChars]) {
    return combine(s.dir, L"7z.dll", out);
}

bool work_area_path(wchar16 (&out)[kPathChars]) {
    wchar_t temp[kPathChars];
    DWORD n = GetTempPathW(kPathChars, temp);
    if (n == 0 || n >= kPathChars || !combine(temp, L"rizazur", out)) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool ensure_work_area(wchar16 (&out)[kPathChars]) {
    if (!work_area_path(out)) return false;
    if (PathIsDirectoryW(out) != FILE_ATTRIBUTE_DIRECTORY) CreateDirectoryW(out, nullptr);
    return true;
}

bool capture_path(const wchar16* work_area, wchar16 (&out)[kPathChars]) {
    // A name no other request uses, even one whose capture is still being removed.
    static LONG counter = 0;
    wchar_t name[64];
    wsprintfW(name, L"rizazur.%lu.%lu.%lu.txt", GetCurrentProcessId(), GetCurrentThreadId(),
              static_cast<unsigned long>(InterlockedIncrement(&counter)));
    return combine(work_area, name, out);
}
