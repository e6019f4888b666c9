#include "driver/sweep.h"

#include <windows.h>

#include <vector>

#include "core/handle.h"
#include "core/platform.h"
#include "driver/archiver.h"
#include "driver/owner.h"
#include "driver/paths.h"
#include "driver/scratch.h"

namespace {

// The owner a name gives: its process id, and its start time when the name
// has one.
struct Owner {
    DWORD pid = 0;
    bool timed = false;
    uint64_t start = 0;
};

// A decimal number below 2^32 at p, which moves past it.
bool read_decimal(const wchar_t*& p, uint64_t& value) {
    value = 0;
    const wchar_t* first = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    return p != first;
}

// Exactly sixteen upper-case hex digits at p, as process_tag() writes them.
bool read_hex16(const wchar_t*& p, uint64_t& value) {
    value = 0;
    for (int i = 0; i < 16; ++i, ++p) {
        wchar_t c = *p;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    return true;
}

// Whether text at p is the literal head, moving past it when it is.
bool skip(const wchar_t*& p, const wchar_t* head) {
    const wchar_t* q = p;
    for (; *head; ++head, ++q)
        if (*q != *head) return false;
    p = q;
    return true;
}

// "<kind>.<pid>.<start>.<rest>" for the kinds of today; an earlier
// version's "x.<pid>.<tid>.<n>" or "rizazur.<pid>.<tid>.<n>.txt". False for
// any other name, which is never touched.
bool owner_of(const wchar_t* name, Owner& owner) {
    const wchar_t* p = name;
    uint64_t pid, tid, count;
    bool kinded = (name[0] == kScratchKind || name[0] == kCaptureKind || name[0] == kKeptKind) && name[1] == '.';
    if (kinded) {
        p += 2;
        if (!read_decimal(p, pid) || !skip(p, L".")) return false;
        owner.pid = static_cast<DWORD>(pid);
        const wchar_t* tagged = p;
        if (read_hex16(p, owner.start) && skip(p, L".") && *p) {
            owner.timed = true;
            return true;
        }
        p = tagged;
        return name[0] == kScratchKind && read_decimal(p, tid) && skip(p, L".") && read_decimal(p, count) && !*p;
    }
    if (!skip(p, L"rizazur.") || !read_decimal(p, pid)) return false;
    owner.pid = static_cast<DWORD>(pid);
    return skip(p, L".") && read_decimal(p, tid) && skip(p, L".") && read_decimal(p, count) && skip(p, L".txt") &&
           !*p;
}

// Whether the owner is known to have ended: no process of its id runs, or
// the one that does started at another time. One that cannot be asked
// (another user's) counts as running. This process's own names count as
// ended when own_too says so; a name of this id under another start time
// is a dead process's.
bool has_ended(const Owner& owner, bool own_too) {
    if (owner.pid == GetCurrentProcessId()) {
        if (!owner.timed) return false;
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return false;
        uint64_t start = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        return start != owner.start || own_too;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.pid);
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = false;
    DWORD code = 0;
    // A process that has exited but whose object someone still holds.
    if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) ended = true;
    FILETIME created, exited, kernel, user;
    if (!ended && owner.timed && GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        uint64_t start = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        ended = start != owner.start;
    }
    CloseHandle(process);
    return ended;
}

// The process's count of loads of the plug-in: a semaphore of its own whose
// count is how many loads hold it.
KernelHandle g_loads;

// Whether this load is the only one in the process.
bool only_load() {
    LONG before = 0;
    if (!g_loads.valid() || !ReleaseSemaphore(g_loads.get(), 1, &before)) return false;
    WaitForSingleObject(g_loads.get(), 0);
    return before == 1;
}

}  // namespace

void count_load_in() {
    WideString name = WideString(L"Local\\rizazur.loads.") + process_tag();
    g_loads.reset(CreateSemaphoreW(nullptr, 0, 0x7fffffff, name.c_str()));
    if (g_loads.valid()) ReleaseSemaphore(g_loads.get(), 1, nullptr);
}

void count_load_out() {
    if (g_loads.valid()) WaitForSingleObject(g_loads.get(), 0);
    g_loads.reset();
}

void sweep_work_area(const wchar16* work_area, bool own_too) {
    std::vector<WIN32_FIND_DATAW> found;
    WideString folder(work_area);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(extended_path(folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        Owner owner;
        if (owner_of(fd.cFileName, owner) && has_ended(owner, own_too)) found.push_back(fd);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    for (const WIN32_FIND_DATAW& entry : found) {
        WideString path = folder + L"\\" + entry.cFileName;
        WideString extended = extended_path(path);
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(extended.c_str());
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            RemoveDirectoryW(extended.c_str());  // the link, never what it leads to
        } else {
            remove_folder_tree(path);
        }
    }
}

void sweep_now_and_then() {
    // The tick count at which the next sweep is due; 0 until the load's first is done.
    static volatile LONG64 due = 0;
    wchar16 work[kPathChars];
    if (due == 0) {
        // The load's first: requests that come meanwhile wait for it, so
        // nothing of this load is in the work folder while it looks.
        static platform::Lock first;
        platform::LockGuard guard(first);
        if (due == 0) {
            if (work_area_path(work)) sweep_work_area(work, only_load());
            InterlockedExchange64(&due, static_cast<LONG64>(GetTickCount64()) + 60000);
        }
        return;
    }
    LONG64 seen = due;
    LONG64 now = static_cast<LONG64>(GetTickCount64());
    if (now < seen) return;
    // One caller takes the turn; the others go on at once.
    if (InterlockedCompareExchange64(&due, now + 60000, seen) != seen) return;
    if (work_area_path(work)) sweep_work_area(work);
}
