// The entry points: each checks what the host passed and hands the work on.
// Nothing thrown may cross this boundary, and nothing is written where the
// host did not offer room.
#include "plugin/exports.h"

#include <climits>
#include <cstring>
#include <type_traits>

#include "core/handle.h"
#include "core/text.h"
#include "driver/archiver.h"
#include "driver/paths.h"
#include "plugin/info.h"
#include "plugin/settings_dialog.h"
#include "tables/cache.h"
#include "tables/retrieval.h"

static_assert(std::is_same<decltype(&GetPluginInfo), GetPluginInfoProc>::value, "GetPluginInfo");
static_assert(std::is_same<decltype(&GetPluginInfoW), GetPluginInfoWProc>::value, "GetPluginInfoW");
static_assert(std::is_same<decltype(&IsSupported), IsSupportedProc>::value, "IsSupported");
static_assert(std::is_same<decltype(&IsSupportedW), IsSupportedWProc>::value, "IsSupportedW");
static_assert(std::is_same<decltype(&GetArchiveInfo), GetArchiveInfoProc>::value, "GetArchiveInfo");
static_assert(std::is_same<decltype(&GetArchiveInfoW), GetArchiveInfoWProc>::value, "GetArchiveInfoW");
static_assert(std::is_same<decltype(&GetFileInfo), GetFileInfoProc>::value, "GetFileInfo");
static_assert(std::is_same<decltype(&GetFileInfoW), GetFileInfoWProc>::value, "GetFileInfoW");
static_assert(std::is_same<decltype(&GetFile), GetFileProc>::value, "GetFile");
static_assert(std::is_same<decltype(&GetFileW), GetFileWProc>::value, "GetFileW");
static_assert(std::is_same<decltype(&ConfigurationDlg), ConfigurationDlgProc>::value, "ConfigurationDlg");

namespace {

bool memory_input(unsigned int flag) { return (flag & kInputKindMask) != 0; }

// Archive paths longer than our buffers are refused, never shortened.
bool fits_path(const wchar16* path) {
    for (size_t n = 0; n < kPathChars; ++n)
        if (!path[n]) return true;
    return false;
}

// Nothing thrown (memory running out, say) crosses into the host.
template <class Work>
int guarded(int failure, Work&& work) {
    try {
        return work();
    } catch (...) {
        return failure;
    }
}

int is_supported(const wchar16* path, void* dw) {
    // Small values are file handles; anything else is the address of the
    // header bytes the host already read.
    if (reinterpret_cast<uintptr_t>(dw) < 0x10000) {
        // Only a disk file is read: a pipe or a console would wait for a writer.
        if (GetFileType(static_cast<HANDLE>(dw)) != FILE_TYPE_DISK) return 0;
        unsigned char head[8];
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(dw), head, sizeof head, &got, nullptr)) return 0;
    }
    return archive_supported(read_setup(), path) ? 1 : 0;
}

// The probe takes 32 bits: an offset it cannot reach (negative, or from
// 2 GiB on) must stay out of reach instead of wrapping onto a small one.
uint32_t archive_offset(LONG_PTR offset) {
    return offset < 0 || offset > INT32_MAX ? UINT32_MAX : static_cast<uint32_t>(offset);
}

int archive_info(const wchar16* path, LONG_PTR offset, HLOCAL* table) {
    if (!fits_path(path)) return kReadError;
    void* copy = nullptr;
    ResultCode rc = obtain_archive_table(read_setup(), path, archive_offset(offset), &copy, nullptr, NameForm::kWide);
    if (rc == kOk) *table = copy;
    return rc;
}

int file_info(const wchar16* path, LONG_PTR offset, MemberRecord& request, NameForm form) {
    if (!fits_path(path)) return kReadError;
    return obtain_archive_table(read_setup(), path, archive_offset(offset), nullptr, &request, form);
}

// The host's progress callback: told (done, size) as ints, its own value
// handed back unchanged; any answer but 0 asks to stop.
class HostProgress : public FetchProgress {
public:
    HostProgress(SusieProgress callback, LONG_PTR data) : callback_(callback), data_(data) {}
    bool report(uint64_t done, uint64_t total) override {
        while (total > INT_MAX) {
            done >>= 1;
            total >>= 1;
        }
        return callback_(static_cast<int>(done), static_cast<int>(total), data_) == 0;
    }

private:
    SusieProgress callback_;
    LONG_PTR data_;
};

int get_file(const wchar16* path, LONG_PTR position, const wchar16* folder, HLOCAL* memory, NameForm form,
             SusieProgress callback, LONG_PTR data) {
    if (!fits_path(path)) return kReadError;
    Setup setup = read_setup();
    MemberRecord request;
    MemberSource source;
    ResultCode rc = obtain_member(setup, path, static_cast<uintptr_t>(position), request, source);
    if (rc != kOk) return rc;
    // A file is made only under a plain name, so nothing outside the folder
    // (or a device) is ever opened for writing; under the very name the host
    // was shown, so it finds what it asked for.
    wchar16 shown[kFieldChars];
    if (form == NameForm::kAnsi)
        through_ansi(request.filename, shown);
    else
        copy_bounded(shown, kFieldChars, request.filename);
    if (!memory && (!fits_path(folder) || !is_plain_file_name(shown))) return kWriteError;

    HostProgress host(callback, data);
    FetchProgress* progress = callback ? &host : nullptr;
    if (progress && !progress->report(0, request.filesize)) return kAborted;
    FetchWatch watch(progress, request.filesize);
    ExtractedMember member;
    if (source.path.empty())
        rc = extract_member(setup, path, request.position, source.tar_pipe, member, &watch);
    else if (!source.alone)
        rc = kReadError;  // 7-Zip would bring out another member with it, or in its place
    else
        rc = extract_path(setup, path, source.path, request.filesize, source.tar_pipe, member, &watch);
    if (rc != kOk) return rc;
    // Stopped at the last moment: the member goes with its folder, unseen.
    if (progress && !progress->report(request.filesize, request.filesize)) return kAborted;
    if (memory) {
        platform::OwnedBlock bytes;
        size_t length = 0;
        rc = member.read(bytes, length);
        if (rc == kOk) *memory = bytes.release();
        return rc;
    }
    // Joined as text: PathCombineW reads a name that starts with ".." (such
    // as "..a.png") as a step up and out of the folder.
    WideString target = folder;
    if (!target.empty() && target.back() != L'\\' && target.back() != L'/') target += L'\\';
    target += shown;
    if (target.size() >= MAX_PATH) return kWriteError;
    return member.move_to(target);
}

}  // namespace

extern "C" {

int __stdcall GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
    wchar16 text[kPathChars];
    if (!buf || buflen <= 0 || !build_info_string(infono, text)) return 0;
    return static_cast<int>(copy_bounded(buf, static_cast<size_t>(buflen), text));
}

int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen) {
    wchar16 text[kPathChars];
    if (!buf || buflen <= 0 || !build_info_string(infono, text)) return 0;
    to_ansi(text, buf, static_cast<size_t>(buflen));
    return static_cast<int>(strlen(buf));
}

int __stdcall IsSupportedW(LPCWSTR filename, void* dw) {
    if (!filename || !fits_path(filename)) return 0;
    return guarded(0, [&] { return is_supported(filename, dw); });
}

int __stdcall IsSupported(LPCSTR filename, void* dw) {
    wchar16 path[kPathChars];
    if (!filename || !to_wide(filename, path, kPathChars)) return 0;
    return guarded(0, [&] { return is_supported(path, dw); });
}

int __stdcall GetArchiveInfoW(LPCWSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf) {
    if (lphInf) *lphInf = nullptr;
    if (!buf || !lphInf || memory_input(flag)) return kNotServed;
    return guarded(kNoMemory, [&] { return archive_info(buf, len, lphInf); });
}

int __stdcall GetArchiveInfo(LPCSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf) {
    if (lphInf) *lphInf = nullptr;
    if (!buf || !lphInf || memory_input(flag)) return kNotServed;
    wchar16 path[kPathChars];
    if (!to_wide(buf, path, kPathChars)) return kReadError;
    HLOCAL wide = nullptr;
    int rc = guarded(kNoMemory, [&] { return archive_info(path, len, &wide); });
    if (rc != kOk) return rc;
    fileInfo* ansi = convert_table(static_cast<const MemberRecord*>(wide));
    LocalFree(wide);
    if (!ansi) return kNoMemory;
    *lphInf = ansi;
    return kOk;
}

int __stdcall GetFileInfoW(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, unsigned int flag,
                           fileInfoW* lpInfo) {
    if (!buf || !filename || !lpInfo || memory_input(flag)) return kNotServed;
    copy_bounded(lpInfo->filename, kFieldChars, filename);
    return guarded(kNoMemory, [&] { return file_info(buf, len, *lpInfo, NameForm::kWide); });
}

int __stdcall GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned int flag,
                          fileInfo* lpInfo) {
    if (!buf || !filename || !lpInfo || memory_input(flag)) return kNotServed;
    wchar16 path[kPathChars];
    if (!to_wide(buf, path, kPathChars)) return kReadError;
    MemberRecord request = {};
    to_wide(filename, request.filename, kFieldChars);
    // With no name, search by the position the host's record holds, as the wide form does.
    request.position = lpInfo->position;
    int rc = guarded(kNoMemory, [&] { return file_info(path, len, request, NameForm::kAnsi); });
    if (rc == kOk) convert_record(request, *lpInfo);
    return rc;
}

int __stdcall GetFileW(LPCWSTR src, LONG_PTR len, LPWSTR dest, unsigned int flag,
                       SusieProgress progress, LONG_PTR data) {
    if (!src || !dest || memory_input(flag)) return kNotServed;
    HLOCAL* memory = flag & kMemoryOutput ? reinterpret_cast<HLOCAL*>(dest) : nullptr;
    return guarded(kNoMemory, [&] {
        return get_file(src, len, memory ? nullptr : dest, memory, NameForm::kWide, progress, data);
    });
}

int __stdcall GetFile(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned int flag,
                      SusieProgress progress, LONG_PTR data) {
    if (!src || !dest || memory_input(flag)) return kNotServed;
    wchar16 path[kPathChars];
    if (!to_wide(src, path, kPathChars)) return kReadError;
    HLOCAL* memory = flag & kMemoryOutput ? reinterpret_cast<HLOCAL*>(dest) : nullptr;
    wchar16 folder[kPathChars];
    if (!memory && !to_wide(dest, folder, kPathChars)) return kWriteError;
    return guarded(kNoMemory, [&] {
        return get_file(path, len, memory ? nullptr : folder, memory, NameForm::kAnsi, progress, data);
    });
}

int __stdcall ConfigurationDlg(HWND parent, int fnc) {
    return guarded(-1, [&] { return open_configuration(parent, fnc); });
}

}  // extern "C"
