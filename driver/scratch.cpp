#include "driver/scratch.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "core/platform.h"
#include "driver/owner.h"
#include "driver/paths.h"

namespace {

// The folders whose removal failed, for one more try at unload.
struct Leftovers {
    platform::Lock lock;
    std::vector<WideString> folders;
};

Leftovers& leftovers() {
    static Leftovers l;
    return l;
}

void remember_leftover(const WideString& folder) {
    Leftovers& l = leftovers();
    platform::LockGuard guard(l.lock);
    try {
        l.folders.push_back(folder);
    } catch (...) {
        // Out of memory: the folder stays behind, the answer stands.
    }
}

bool is_dots(const wchar_t* name) { return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2])); }

struct Entry {
    WideString path;
    DWORD attributes;
    uint64_t size;
};

// Every entry below top (full paths), each folder after its contents.
// A link to a folder is an entry, never a way into it. The folders still to
// be read wait on a list of their own, not on the stack: an archive's
// member may lie thousands of folders deep, and this runs on the host's
// thread.
void walk(const WideString& top, std::vector<Entry>& out) {
    std::vector<WideString> pending(1, top);
    while (!pending.empty()) {
        WideString folder = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW(extended_path(folder + L"\\*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            if (is_dots(fd.cFileName)) continue;
            out.push_back({folder + L"\\" + fd.cFileName, fd.dwFileAttributes,
                           (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow});
            const Entry& e = out.back();
            if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                pending.push_back(e.path);
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    // Each folder was listed before what it holds: reversed, after it.
    std::reverse(out.begin(), out.end());
}

}  // namespace

bool remove_folder_tree(const WideString& folder) {
    std::vector<Entry> entries;
    walk(folder, entries);
    for (const Entry& e : entries) {
        WideString p = extended_path(e.path);
        // A read-only file (as zips made on Windows often store them) cannot be deleted.
        if (e.attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (e.attributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveDirectoryW(p.c_str());
        else
            DeleteFileW(p.c_str());
    }
    WideString p = extended_path(folder);
    if (RemoveDirectoryW(p.c_str())) return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void remove_leftover_scratch() {
    Leftovers& l = leftovers();
    platform::LockGuard guard(l.lock);
    for (const WideString& folder : l.folders) remove_folder_tree(folder);
    l.folders.clear();
}

ScratchFolder::~ScratchFolder() {
    if (!path_.empty() && !remove_folder_tree(path_)) remember_leftover(path_);
}

// A name no other request uses: this process and thread, and a count.
const size_t kLongestName = 21;  // two 32-bit counts in decimal and a dot

size_t ScratchFolder::longest_path(const wchar16* work_area, wchar16 kind) {
    return wide_len(work_area) + 1 + owned_prefix(kind).size() + kLongestName;
}

bool ScratchFolder::make(const wchar16* work_area, wchar16 kind) {
    static LONG counter = 0;
    wchar_t name[32];
    for (int attempt = 0; attempt < 8; ++attempt) {
        wsprintfW(name, L"%lu.%lu", GetCurrentThreadId(), static_cast<unsigned long>(InterlockedIncrement(&counter)));
        WideString path = WideString(work_area) + L"\\" + owned_prefix(kind) + name;
        if (CreateDirectoryW(extended_path(path).c_str(), nullptr)) {
            path_ = path;
            return true;
        }
        // Another process unloading the plug-in may have just removed the
        // empty work folder: make it again. A name that exists already is
        // left behind by an earlier process: take the next.
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND)
            CreateDirectoryW(extended_path(work_area).c_str(), nullptr);
        else if (error != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool ScratchFolder::only_file(WideString& file, uint64_t& size) const {
    std::vector<Entry> entries;
    walk(path_, entries);
    int files = 0;
    for (const Entry& e : entries) {
        if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
        if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        ++files;
        file = e.path;
        size = e.size;
    }
    return files == 1;
}

uint64_t ScratchFolder::bytes_written() const {
    std::vector<Entry> entries;
    if (!path_.empty()) walk(path_, entries);
    uint64_t total = 0;
    for (const Entry& e : entries)
        if (!(e.attributes & FILE_ATTRIBUTE_DIRECTORY)) total += e.size;
    return total;
}
