// A Susie archive plug-in of another make than rizazur: ANSI entry points
// only, movable memory blocks, folders in the path field, and a progress
// callback it honours. Any file starting "FAKE" is an archive of four
// members, two named for devices, which it hands over as any other; one
// starting "FAKECRASH" makes it crash, as plug-ins do.
#include <windows.h>

#include <cstring>

#include "core/records.h"

namespace {

struct FakeMember {
    uintptr_t position;
    const char* path;
    const char* filename;
    const char* bytes;
};

const FakeMember kMembers[] = {
    {100, "docs\\", "one.txt", "hello"},
    {200, "", "two.txt", "abc"},
    {300, "", "NUL.png", "nul"},
    {400, "docs\\", "CON", "con"},
};
const intptr_t kStamp = 1700000000;  // 2023-11-14 22:13:20 UTC

bool read_head(const char* path, char (&head)[16]) {
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    memset(head, 0, sizeof head);
    DWORD got = 0;
    BOOL ok = ReadFile(f, head, sizeof head - 1, &got, nullptr);
    CloseHandle(f);
    return ok != FALSE;
}

int open_archive(const char* path) {
    char head[16];
    if (!read_head(path, head)) return 6;
    if (strncmp(head, "FAKECRASH", 9) == 0) *static_cast<volatile int*>(nullptr) = 0;
    return strncmp(head, "FAKE", 4) == 0 ? 0 : 2;
}

void fill(const FakeMember& m, fileInfo& r) {
    memset(&r, 0, sizeof r);
    memcpy(r.method, "FAKE", 4);
    r.position = m.position;
    r.compsize = r.filesize = strlen(m.bytes);
    r.timestamp = kStamp;
    strcpy(r.path, m.path);
    strcpy(r.filename, m.filename);
}

}  // namespace

extern "C" {

__declspec(dllexport) int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen) {
    static const char* const kInfo[] = {"00AM", "fake plug-in for the spihost tests", "*.fake", "fake archive"};
    if (infono < 0 || infono > 3 || !buf || buflen <= 0) return 0;
    lstrcpynA(buf, kInfo[infono], buflen);
    return lstrlenA(buf);
}

__declspec(dllexport) int __stdcall IsSupported(LPCSTR, void* dw) {
    if (reinterpret_cast<uintptr_t>(dw) < 0x10000) return 0;
    return memcmp(dw, "FAKE", 4) == 0;
}

__declspec(dllexport) int __stdcall GetArchiveInfo(LPCSTR buf, LONG_PTR, unsigned int flag, HLOCAL* lphInf) {
    if ((flag & 7) != 0) return -1;
    int rc = open_archive(buf);
    if (rc != 0) return rc;
    const size_t n = sizeof kMembers / sizeof kMembers[0];
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, (n + 1) * sizeof(fileInfo));
    if (!h) return 4;
    fileInfo* table = static_cast<fileInfo*>(LocalLock(h));
    for (size_t i = 0; i < n; ++i) fill(kMembers[i], table[i]);
    LocalUnlock(h);
    *lphInf = h;
    return 0;
}

__declspec(dllexport) int __stdcall GetFileInfo(LPCSTR buf, LONG_PTR, LPCSTR filename, unsigned int,
                                                fileInfo* lpInfo) {
    int rc = open_archive(buf);
    if (rc != 0) return rc;
    for (const FakeMember& m : kMembers)
        if (lstrcmpiA(m.filename, filename) == 0) {
            fill(m, *lpInfo);
            return 0;
        }
    return 8;
}

__declspec(dllexport) int __stdcall GetFile(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned int flag,
                                            int(__stdcall* progress)(int, int, LONG_PTR), LONG_PTR data) {
    int rc = open_archive(src);
    if (rc != 0) return rc;
    for (const FakeMember& m : kMembers) {
        if (m.position != static_cast<uintptr_t>(len)) continue;
        if (progress && progress(0, 1, data)) return 1;
        size_t size = strlen(m.bytes);
        if (flag & 0x100) {
            HLOCAL h = LocalAlloc(LMEM_MOVEABLE, size);
            if (!h) return 4;
            memcpy(LocalLock(h), m.bytes, size);
            LocalUnlock(h);
            *reinterpret_cast<HLOCAL*>(dest) = h;
            return 0;
        }
        char path[MAX_PATH];
        wsprintfA(path, "%s\\%s", dest, m.filename);
        HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 9;
        DWORD put = 0;
        WriteFile(f, m.bytes, static_cast<DWORD>(size), &put, nullptr);
        CloseHandle(f);
        return put == size ? 0 : 9;
    }
    return 8;
}

}  // extern "C"
