#include <windows.h>

#include "core/handle.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/runner.h"
#include "driver/scanner.h"

namespace {

// The archive's last-write time, which every member of its table carries.
bool archive_time(const wchar16* archive, int32_t& seconds) {
    FileHandle f(CreateFileW(archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written;
    if (!f.valid() || !GetFileTime(f.get(), nullptr, nullptr, &written)) return false;
    uint64_t t = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    seconds = unix_time_from_filetime(t);
    return true;
}

}  // namespace

ResultCode list_archive(const wchar16* archive, uint32_t /*offset*/, platform::OwnedBlock& table) {
    Settings s = read_settings();
    wchar_t exe[kPathChars], work[kPathChars], capture_file[kPathChars];
    if (!archiver_path(s, exe)) return kReadError;
    int32_t threshold = size_threshold(s.maxMB);
    if (!ensure_work_area(work) || !capture_path(work, capture_file)) return kReadError;

    bool tar = use_tar_pipe(archive, s.tar);
    ScopedDelete remover(capture_file);
    if (!run_archiver(list_command(exe, archive, tar), capture_file)) return kReadError;

    size_t count;
    {
        Capture capture;
        if (!capture.open(capture_file)) return kReadError;
        count = count_members(capture.reader(), threshold);
    }
    platform::OwnedBlock block(platform::alloc_block((count + 1) * sizeof(MemberRecord)));
    if (!block) return kNoMemory;

    int32_t seconds;
    if (!archive_time(archive, seconds)) return kReadError;

    Capture capture;
    if (!capture.open(capture_file)) return kReadError;
    fill_members(capture.reader(), threshold, seconds, static_cast<MemberRecord*>(block.get()), count);
    table = std::move(block);
    return kOk;
}
