#include <windows.h>
#include <shlwapi.h>

#include "core/handle.h"
#include "core/module.h"
#include "core/platform.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/owner.h"

namespace {

const wchar_t kSection[] = L"UserSetting";
const int kDefaultAheadMB = 256;

void read_text(const wchar_t* ini, const wchar_t* key, const wchar_t* fallback,
               wchar_t (&out)[kPathChars]) {
    GetPrivateProfileStringW(kSection, key, fallback, out, kPathChars, ini);
}

// The settings as last read, with what the file was then (whether there
// was one, its size and when it was written): read again only once that
// differs. Every request looks, so a change counts from the next; a read
// costs a look into the file for each key, a look at what it is does not.
struct LastRead {
    platform::Lock lock;
    bool valid = false;
    bool present = false;
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    Settings settings = {};
};

LastRead& last_read() {
    static LastRead last;
    return last;
}

bool same_file(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
    return a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
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
        s.aheadMB = kDefaultAheadMB;
        s.claim_by_listing = false;
        s.askPassword = 1;
        return s;
    }
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    bool present = GetFileAttributesExW(ini, GetFileExInfoStandard, &file) != 0;
    LastRead& last = last_read();
    {
        platform::LockGuard guard(last.lock);
        if (last.valid && last.present == present && (!present || same_file(last.file, file))) return last.settings;
    }
    read_text(ini, L"ext", L"*.7z;*.zip;*.rar", s.ext);
    read_text(ini, L"dir", L"", s.dir);
    s.maxMB = static_cast<int>(GetPrivateProfileIntW(kSection, L"maxMB", 64, ini));
    read_text(ini, L"tar", L"*.tgz,*.taz", s.tar);
    s.aheadMB = static_cast<int>(GetPrivateProfileIntW(kSection, L"aheadMB", kDefaultAheadMB, ini));
    // Anything but "list" keeps the whole test.
    wchar_t test[kPathChars];
    read_text(ini, L"test", L"full", test);
    s.claim_by_listing = lstrcmpiW(test, L"list") == 0;
    s.askPassword = static_cast<int>(GetPrivateProfileIntW(kSection, L"askPassword", 1, ini));
    platform::LockGuard guard(last.lock);
    last.valid = true;
    last.present = present;
    last.file = file;
    last.settings = s;
    return s;
}

bool write_settings(const Settings& s) {
    wchar_t ini[kPathChars];
    if (!settings_path(ini)) return false;
    // The profile functions write a new file in the ANSI code page; one
    // that starts with a byte-order mark they keep as UTF-16.
    DWORD attributes = GetFileAttributesW(ini);
    // A read-only file is not written, whoever could (Wine's root can).
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
        FileHandle f(CreateFileW(ini, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD put = 0;
        if (!f.valid() || !WriteFile(f.get(), "\xFF\xFE", 2, &put, nullptr) || put != 2) return false;
    }
    wchar_t number[16], ahead[16];
    wsprintfW(number, L"%d", s.maxMB);
    wsprintfW(ahead, L"%d", s.aheadMB);
    return WritePrivateProfileStringW(kSection, L"dir", s.dir, ini) &&
           WritePrivateProfileStringW(kSection, L"ext", s.ext, ini) &&
           WritePrivateProfileStringW(kSection, L"maxMB", number, ini) &&
           WritePrivateProfileStringW(kSection, L"tar", s.tar, ini) &&
           WritePrivateProfileStringW(kSection, L"aheadMB", ahead, ini) &&
           WritePrivateProfileStringW(kSection, L"test", s.claim_by_listing ? L"list" : L"full", ini);
}

static bool combine(const wchar_t* dir, const wchar_t* name, wchar16 (&out)[kPathChars]) {
    if (!PathCombineW(out, dir[0] ? dir : nullptr, name)) {
        out[0] = 0;
        return false;
    }
    return true;
}

namespace {

bool is_file(const wchar_t* path) {
    DWORD a = GetFileAttributesW(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// A drive path ("C:\...") or a UNC one: nothing about it depends on the
// current folder or drive.
bool is_fully_qualified(const wchar_t* path) {
    return (path[0] && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
}

// 7z.exe in folder, when folder is a full path holding 7z.exe and 7z.dll.
bool try_folder(const wchar_t* folder, wchar16 (&exe)[kPathChars]) {
    if (!is_fully_qualified(folder)) return false;
    wchar_t full[kPathChars], dll[kPathChars];
    DWORD n = GetFullPathNameW(folder, kPathChars, full, nullptr);
    if (n == 0 || n >= kPathChars) return false;
    if (!combine(full, L"7z.exe", exe) || !combine(full, L"7z.dll", dll) || !is_file(exe) || !is_file(dll)) {
        exe[0] = 0;
        return false;
    }
    return true;
}

// The folder of a module (null: the host program).
bool module_folder(HMODULE module, wchar_t (&out)[kPathChars]) {
    DWORD n = GetModuleFileNameW(module, out, kPathChars);
    if (n == 0 || n >= kPathChars) return false;
    return PathRemoveFileSpecW(out) != FALSE;
}

// Where 7-Zip's installer records its folder: "Path", and "Path64" or
// "Path32" by its bitness, under Software\7-Zip, per user and per machine.
bool try_registry(wchar16 (&exe)[kPathChars]) {
    const HKEY roots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    const REGSAM views[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    const wchar_t* const values[] = {L"Path", L"Path64", L"Path32"};
    for (HKEY root : roots) {
        for (REGSAM view : views) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(root, L"Software\\7-Zip", 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) continue;
            bool found = false;
            // A value of REG_EXPAND_SZ comes expanded, as REG_SZ.
            for (const wchar_t* value : values) {
                wchar_t folder[kPathChars];
                DWORD bytes = sizeof folder;
                if (RegGetValueW(key, nullptr, value, RRF_RT_REG_SZ, nullptr, folder, &bytes) == ERROR_SUCCESS &&
                    try_folder(folder, exe)) {
                    found = true;
                    break;
                }
            }
            RegCloseKey(key);
            if (found) return true;
        }
    }
    return false;
}

}  // namespace

bool find_7zip(const Settings& s, wchar16 (&exe)[kPathChars]) {
    exe[0] = 0;
    wchar_t here[kPathChars], folder[kPathChars];
    bool have_here = module_folder(module_handle(), here);
    if (s.dir[0]) {
        if (is_fully_qualified(s.dir)) return try_folder(s.dir, exe);
        // Relative to the plug-in, where a user who writes it expects it.
        return have_here && combine(here, s.dir, folder) && try_folder(folder, exe);
    }
    if (have_here && try_folder(here, exe)) return true;
    if (module_folder(nullptr, folder) && try_folder(folder, exe)) return true;
    if (try_registry(exe)) return true;
    for (const wchar_t* variable : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"}) {
        wchar_t base[kPathChars];
        DWORD n = GetEnvironmentVariableW(variable, base, kPathChars);
        if (n > 0 && n < kPathChars && combine(base, L"7-Zip", folder) && try_folder(folder, exe)) return true;
    }
    return false;
}

std::vector<WideString> places_sought(const Settings& s) {
    std::vector<WideString> places;
    wchar_t here[kPathChars], folder[kPathChars];
    bool have_here = module_folder(module_handle(), here);
    if (s.dir[0]) {
        if (is_fully_qualified(s.dir))
            places.push_back(s.dir);
        else if (have_here && combine(here, s.dir, folder))
            places.push_back(folder);
        return places;
    }
    if (have_here) places.push_back(here);
    if (module_folder(nullptr, folder)) places.push_back(folder);
    places.push_back(L"HKEY_CURRENT_USER\\Software\\7-Zip");
    places.push_back(L"HKEY_LOCAL_MACHINE\\Software\\7-Zip");
    for (const wchar_t* variable : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"}) {
        wchar_t base[kPathChars];
        DWORD n = GetEnvironmentVariableW(variable, base, kPathChars);
        if (n == 0 || n >= kPathChars || !combine(base, L"7-Zip", folder)) continue;
        bool known = false;
        for (const WideString& p : places) known = known || lstrcmpiW(p.c_str(), folder) == 0;
        if (!known) places.push_back(folder);
    }
    return places;
}

Setup read_setup() {
    Setup setup;
    setup.settings = read_settings();
    find_7zip(setup.settings, setup.exe);
    setup.threshold = size_threshold(setup.settings.maxMB);
    return setup;
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
    wchar_t name[32];
    wsprintfW(name, L"%lu.%lu.txt", GetCurrentThreadId(), static_cast<unsigned long>(InterlockedIncrement(&counter)));
    return combine(work_area, (owned_prefix(kCaptureKind) + name).c_str(), out);
}
