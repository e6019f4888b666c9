// The entry points: each checks what the host passed and hands the work on.
// Nothing thrown may cross this boundary, and nothing is written where the
// host did not offer room.
#include "plugin/exports.h"

#include <climits>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/handle.h"
#include "core/text.h"
#include "driver/archiver.h"
#include "driver/paths.h"
#include "driver/progress.h"
#include "driver/sweep.h"
#include "plugin/info.h"
#include "plugin/settings_dialog.h"
#include "tables/cache.h"
#include "tables/read_ahead.h"
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

// The settings for a request, after clearing away (now and then) what
// killed processes left in the work folder: here, on a request, since the
// loader's notification is no place for work on files.
Setup begin_request() {
    sweep_now_and_then();
    return read_setup();
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
    return archive_supported(begin_request(), path) ? 1 : 0;
}

// The probe takes 32 bits: an offset it cannot reach (negative, or from
// 2 GiB on) must stay out of reach instead of wrapping onto a small one.
uint32_t archive_offset(LONG_PTR offset) {
    return offset < 0 || offset > INT32_MAX ? UINT32_MAX : static_cast<uint32_t>(offset);
}

int archive_info(const wchar16* path, LONG_PTR offset, HLOCAL* table) {
    if (!fits_path(path)) return kReadError;
    void* copy = nullptr;
    ResultCode rc =
        obtain_archive_table(begin_request(), path, archive_offset(offset), &copy, nullptr, NameForm::kWide);
    if (rc == kOk) *table = copy;
    return rc;
}

// The member a host names, cut at its last separator into the request's
// folder (without that separator, which the look-up puts back: a cut folder
// of 199 units and its backslash still fit) and file name; by the position
// the host's record holds when it names none. False when a part is longer
// than any record's field.
bool member_request(const wchar16* name, size_t len, uintptr_t position, MemberRecord& request) {
    request = MemberRecord();
    request.position = position;
    size_t cut = len;
    while (cut > 0 && name[cut - 1] != L'\\' && name[cut - 1] != L'/') --cut;
    size_t folder = cut > 1 ? cut - 1 : cut;
    if (folder >= kFieldChars || len - cut >= kFieldChars) return false;
    copy_bounded(request.path, kFieldChars, name, folder);
    copy_bounded(request.filename, kFieldChars, name + cut, len - cut);
    return true;
}

// The host's record is written only with the member found.
template <class Record, class Fill>
int file_info(const wchar16* path, LONG_PTR offset, const wchar16* name, size_t len, Record& info, NameForm form,
              Fill&& fill) {
    if (!fits_path(path)) return kReadError;
    MemberRecord request;
    if (!member_request(name, len, info.position, request)) return kNotServed;
    ResultCode rc = obtain_archive_table(begin_request(), path, archive_offset(offset), nullptr, &request, form);
    if (rc == kOk) fill(request);
    return rc;
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
    Setup setup = begin_request();
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

    // Joined as text: PathCombineW reads a name that starts with ".." (such
    // as "..a.png") as a step up and out of the folder.
    WideString target;
    if (!memory) {
        target = folder;
        if (!target.empty() && target.back() != L'\\' && target.back() != L'/') target += L'\\';
        target += shown;
        if (target.size() >= MAX_PATH) return kWriteError;
    }
    HostProgress host(callback, data);
    FetchProgress* progress = callback ? &host : nullptr;
    if (progress && !progress->report(0, request.filesize)) return kAborted;
    FetchWatch watch(progress, request.filesize);
    if (setup.settings.aheadMB <= 0) trim_kept(0);
    if (setup.settings.aheadMB > 0 && !source.path.empty() && source.alone) {
        platform::OwnedBlock bytes;
        size_t length = 0;
        rc = fetch_ahead(setup, path, request, source, &watch, memory ? nullptr : &target, bytes, length);
        if (rc == kOk && memory) *memory = bytes.release();
        return rc;
    }

    ExtractedMember member;
    const Into into = memory ? Into::kBytes : Into::kFile;
    if (source.path.empty())
        rc = extract_member(setup, path, request, source.tar_pipe, member, &watch, into);
    else if (!source.alone)
        rc = kReadError;  // 7-Zip would bring out another member with it, or in its place
    else
        rc = extract_path(setup, path, source.path, request.filesize, source.tar_pipe, member, &watch, into);
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
    return guarded(kNoMemory, [&] {
        return file_info(buf, len, filename, wide_len(filename), *lpInfo, NameForm::kWide,
                         [&](const MemberRecord& found) { *lpInfo = found; });
    });
}

int __stdcall GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned int flag,
                          fileInfo* lpInfo) {
    if (!buf || !filename || !lpInfo || memory_input(flag)) return kNotServed;
    wchar16 path[kPathChars];
    if (!to_wide(buf, path, kPathChars)) return kReadError;
    return guarded(kNoMemory, [&] {
        // Never more wide units than bytes.
        std::vector<wchar16> name(strlen(filename) + 1);
        to_wide(filename, name.data(), name.size());
        return file_info(path, len, name.data(), wide_len(name.data()), *lpInfo, NameForm::kAnsi,
                         [&](const MemberRecord& found) { convert_record(found, *lpInfo); });
    });
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
