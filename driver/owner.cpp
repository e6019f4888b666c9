#include "driver/owner.h"

#include <windows.h>

namespace {

struct Tag {
    wchar_t text[40];
    Tag() {
        FILETIME created = {}, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        wsprintfW(text, L"%lu.%08lX%08lX", GetCurrentProcessId(), created.dwHighDateTime, created.dwLowDateTime);
    }
};

}  // namespace

const wchar16* process_tag() {
    static const Tag tag;
    return tag.text;
}

WideString owned_prefix(wchar16 kind) {
    WideString prefix(1, kind);
    prefix += L'.';
    prefix += process_tag();
    prefix += L'.';
    return prefix;
}
