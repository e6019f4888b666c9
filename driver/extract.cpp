#include <windows.h>

#include "core/handle.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/paths.h"
#include "driver/runner.h"
#include "driver/scanner.h"

namespace {

// Extraction writes to one place per member name in the shared work folder,
// so extractions of every thread of every process of this user take turns.
class ExtractionTurn {
public:
    ExtractionTurn() : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\rizazur.extract")) {
        if (mutex_.valid()) {
            DWORD w = WaitForSingleObject(mutex_.get(), INFINITE);
            owned_ = w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
        }
    }
    ~ExtractionTurn() {
        if (owned_) ReleaseMutex(mutex_.get());
    }
    ExtractionTurn(const ExtractionTurn&) = delete;
    ExtractionTurn& operator=(const ExtractionTurn&) = delete;

private:
    KernelHandle mutex_;
    bool owned_ = false;
};

ResultCode read_whole_file(const wchar16* path, platform::OwnedBlock& bytes, size_t& length) {
    FileHandle f(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!f.valid() || !GetFileSizeEx(f.get(), &size) || size.QuadPart > INT32_MAX) return kReadError;
    size_t want = static_cast<size_t>(size.QuadPart);
    // Only members of some size are listed: an empty file here (a link the
    // archiver could not make, say) is no member's bytes.
    if (want == 0) return kReadError;
    platform::OwnedBlock block(platform::alloc_block(want));
    if (!block) return kNoMemory;
    size_t got = 0;
    while (got < want) {
        DWORD n = 0;
        if (!ReadFile(f.get(), static_cast<char*>(block.get()) + got, static_cast<DWORD>(want - got), &n,
                      nullptr))
            return kReadError;
        if (n == 0) break;
        got += n;
    }
    if (got == 0) return kReadError;
    bytes = std::move(block);
    length = got;
    return kOk;
}

// cmd replaces %NAME% with a variable's value even between quotes.
bool may_name_a_variable(const wchar16* path) {
    const wchar16* first = wcschr(path, L'%');
    return first && wcschr(first + 1, L'%');
}

// Steps for the one member wanted: its bytes, or why there are none.
ResultCode extract_one(const wchar16* archive, const Settings& s, const wchar16* exe,
                       const wchar16* work, const wchar16* path, platform::OwnedBlock& bytes,
                       size_t& length) {
    // A name leading out of the work folder is never extracted, read or deleted.
    if (!is_contained_path(path)) return kReadError;
    // Through the tar pipe such a name would bring out another member.
    bool tar = use_tar_pipe(archive, s.tar);
    if (tar && may_name_a_variable(path)) return kReadError;
    WideString target = WideString(work) + L"\\" + path;

    ExtractionTurn turn;
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // Something stale stands at the target: remove it rather than hand out
        // bytes this request did not extract.
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW(target.c_str());
        return kReadError;
    }
    if (!run_archiver(extract_command(exe, archive, work, path, tar), nullptr)) return kReadError;
    ResultCode rc = read_whole_file(target.c_str(), bytes, length);
    DeleteFileW(target.c_str());
    return rc;
}

}  // namespace

ResultCode extract_member(const wchar16* archive, const MemberRecord& request,
                          platform::OwnedBlock& bytes, size_t& length) {
    Settings s = read_settings();
    wchar_t exe[kPathChars], work[kPathChars], capture_file[kPathChars];
    if (!archiver_path(s, exe)) return kReadError;
    int32_t threshold = size_threshold(s.maxMB);
    if (!ensure_work_area(work) || !capture_path(work, capture_file)) return kReadError;

    ScopedDelete remover(capture_file);
    if (!run_archiver(list_command(exe, archive, use_tar_pipe(archive, s.tar)), capture_file))
        return kReadError;
    Capture capture;
    if (!capture.open(capture_file)) return kReadError;

    wchar16 path[kPathChars];
    bool found = false;
    uintptr_t i = 0;
    scan_members(capture.reader(), [&](const ScannedMember& m) {
        if (!qualifies(m.size, threshold)) return true;
        if (i++ != request.position) return true;
        copy_bounded(path, kPathChars, m.path, m.path_len);
        found = true;
        return false;
    });
    if (!found) return kReadError;

    // 7-Zip brings out every member of that name, in any case, and the last
    // one wins: none of them can be had alone.
    Capture again;
    if (!again.open(capture_file)) return kReadError;
    int namesakes = 0;
    scan_members(again.reader(), [&](const ScannedMember& m) {
        if (platform::compare_nocase(m.path, path) == 0) ++namesakes;
        return namesakes < 2;
    });
    if (namesakes > 1) return kReadError;
    return extract_one(archive, s, exe, work, path, bytes, length);
}
