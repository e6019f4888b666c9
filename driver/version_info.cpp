#include "driver/version_info.h"

#include <windows.h>

#include <vector>

WideString program_version(const wchar16* exe) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe, &ignored);
    if (size == 0) return WideString();
    std::vector<unsigned char> info(size);
    if (!GetFileVersionInfoW(exe, 0, size, info.data())) return WideString();
    struct Translation {
        WORD language;
        WORD code_page;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &bytes) &&
        bytes >= sizeof(Translation)) {
        wchar_t key[64];
        wsprintfW(key, L"\\StringFileInfo\\%04x%04x\\FileVersion", translations[0].language,
                  translations[0].code_page);
        wchar_t* text = nullptr;
        UINT chars = 0;
        if (VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&text), &chars) && chars > 1 && text[0])
            return WideString(text);
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes) || bytes < sizeof *fixed)
        return WideString();
    wchar_t numbers[48];
    wsprintfW(numbers, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return WideString(numbers);
}
