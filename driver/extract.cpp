#include <windows.h>

#include "core/handle.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/paths.h"
#include "driver/progress.h"
#include "driver/runner.h"
#include "driver/scanner.h"

ResultCode read_file_bytes(const WideString& file, uint64_t size, platform::OwnedBlock& bytes) {
    // Shared every way: Wine's console host may still hold what a child wrote.
    FileHandle f(CreateFileW(extended_path(file).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER on_disk;
    if (!f.valid() || !GetFileSizeEx(f.get(), &on_disk) || static_cast<uint64_t>(on_disk.QuadPart) != size)
        return kReadError;
    size_t want = static_cast<size_t>(size);
    platform::OwnedBlock block(platform::alloc_block(want));
    if (!block) return kNoMemory;
    size_t got = 0;
    while (got < want) {
        DWORD n = 0;
        if (!ReadFile(f.get(), static_cast<char*>(block.get()) + got, static_cast<DWORD>(want - got), &n, nullptr) ||
            n == 0)
            return kReadError;
        got += n;
    }
    bytes = std::move(block);
    return kOk;
}

ResultCode ExtractedMember::read(platform::OwnedBlock& bytes, size_t& length) const {
    ResultCode rc = read_file_bytes(file_, size_, bytes);
    if (rc == kOk) length = static_cast<size_t>(size_);
    return rc;
}

ResultCode ExtractedMember::move_to(const WideString& target) const {
    WideString from = extended_path(file_);
    // The copy a host gets is an ordinary file, whatever the archive stored.
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Never over an existing file; across volumes it is copied.
    if (!MoveFileExW(from.c_str(), extended_path(target).c_str(), MOVEFILE_COPY_ALLOWED)) return kWriteError;
    return kOk;
}

ResultCode extract_path(const Setup& setup, const wchar16* archive, const WideString& path, uint64_t size,
                        bool tar_pipe, ExtractedMember& out, FetchWatch* watch, Into into) {
    // A name leading out of the work folder is never extracted.
    if (!is_contained_path(path.c_str())) return kReadError;
    wchar_t work[kPathChars];
    if (!setup.found() || !ensure_work_area(work) || !out.folder_.make(work)) return kReadError;
    const wchar16* folder = out.folder_.path().c_str();
    const WideString bytes = out.folder_.path() + L"\\m";
    const bool file = into == Into::kFile;
    if (watch) watch->watch(&out.folder_);
    RunResult ran = run_archiver(setup.exe,
                                 with_password(file ? extract_run(setup.exe, archive, folder, path.c_str(), tar_pipe)
                                                    : output_run(setup.exe, archive, path.c_str(), tar_pipe),
                                               setup),
                                 file ? nullptr : bytes.c_str(), watch ? watch->observer() : nullptr);
    if (watch) watch->watch(nullptr);
    if (watch && watch->stopped()) return kAborted;
    // A run that did not end well may have left the member's full length
    // with nothing behind part of it: never handed over.
    if (!ran.succeeded()) return kReadError;
    // Wherever 7-Zip put it and whatever it named it (it renames what
    // Windows cannot hold, such as a trailing dot), the member is the one
    // file that appeared, with the listed size; its bytes alone, the one
    // file they were written to.
    uint64_t found = 0;
    if (!out.folder_.only_file(out.file_, found) || found != size) return kReadError;
    out.size_ = found;
    return kOk;
}

ResultCode extract_member(const Setup& setup, const wchar16* archive, const MemberRecord& record, bool tar,
                          ExtractedMember& out, FetchWatch* watch, Into into) {
    wchar_t work[kPathChars], capture_file[kPathChars];
    if (!setup.found() || !ensure_work_area(work) || !capture_path(work, capture_file)) return kReadError;
    ScopedDelete remover(capture_file);
    RunResult ran = run_archiver(setup.exe, with_password(list_run(setup.exe, archive, tar), setup), capture_file,
                                 watch ? watch->observer() : nullptr);
    if (watch && watch->stopped()) return kAborted;
    if (!ran.succeeded()) return kReadError;
    Capture capture;
    if (!capture.open(capture_file)) return kReadError;

    WideString path;
    int32_t size = 0;
    size_t index = 0, wanted = 0;
    bool found = false;
    uintptr_t kept = 0;
    scan_members(capture.reader(), [&](const ScannedMember& m) {
        ++index;
        if (!is_kept(m, setup.threshold) || kept++ != record.position) return true;
        // The archive may have been rewritten since the host was shown its
        // table: another member at that position is not the one asked for.
        found = describes(record, m);
        path.assign(m.path, m.path_len);
        size = m.size;
        wanted = index;
        return false;
    });
    if (!found) return kReadError;

    // 7-Zip brings out every listed path that matches, and all below it; the
    // last one written wins. Such a member cannot be had alone.
    Capture again;
    if (!again.open(capture_file)) return kReadError;
    bool alone = true;
    index = 0;
    scan_members(again.reader(), [&](const ScannedMember& m) {
        if (++index != wanted && brings_out(path.c_str(), path.size(), m.path, m.path_len)) alone = false;
        return alone;
    });
    if (!alone) return kReadError;
    return extract_path(setup, archive, path, static_cast<uint64_t>(size), tar, out, watch, into);
}
