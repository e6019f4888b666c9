#include "plugin/info.h"

#include "driver/archiver.h"

bool build_info_string(int number, wchar16 (&out)[kPathChars]) {
    switch (number) {
    case 0:
        copy_bounded(out, kPathChars, L"00AM");
        return true;
    case 1:
        // Plain ASCII, so every code page an ANSI host has shows it alike.
        copy_bounded(out, kPathChars, L"rizazur " RIZAZUR_VERSION L": Susie archive plug-in through 7-Zip");
        return true;
    case 2: {
        Settings s = read_settings();
        for (wchar16* p = s.ext; *p; ++p)
            if (*p == ',') *p = ';';
        copy_bounded(out, kPathChars, s.ext);
        return true;
    }
    case 3:
        copy_bounded(out, kPathChars, L"7z\x30D5\x30A1\x30A4\x30EB");  // "7z" + "file" in katakana
        return true;
    default:
        return false;
    }
}
