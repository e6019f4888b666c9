#include <windows.h>

#include <algorithm>

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

// Whether a capture names no member at all but shows a size, whether it
// names any, and whether it names one only, a tar.
struct Shape {
    bool members = false;
    bool sizes_only = false;
    bool one_tar = false;
};

bool is_tar_name(const wchar16* path) {
    static const wchar16 kTar[] = {'.', 't', 'a', 'r'};
    const wchar16* ext = find_extension(file_name_of(path));
    return platform::compare_ordinal_nocase(ext, wide_len(ext), kTar, 4) == 0;
}

Shape shape_of(const wchar16* capture_file) {
    Shape shape;
    Capture capture;
    if (!capture.open(capture_file)) return shape;
    shape.sizes_only = sizes_without_paths(capture.reader());
    Capture again;
    if (!again.open(capture_file)) return shape;
    size_t count = 0;
    scan_members(again.reader(), [&](const ScannedMember& m) {
        shape.members = true;
        shape.one_tar = ++count == 1 && is_tar_name(m.path);
        return count < 2;
    });
    return shape;
}

}  // namespace

ResultCode list_archive(const Setup& setup, const wchar16* archive, Listing& out) {
    wchar_t work[kPathChars], plain[kPathChars], piped[kPathChars] = {};
    if (!ensure_work_area(work) || !capture_path(work, plain)) return kReadError;
    bool tar = use_tar_pipe(archive, setup.settings.tar);
    ScopedDelete plain_remover(plain), piped_remover(piped);
    if (!run_archiver(setup.exe, with_password(list_run(setup.exe, archive, tar), setup), plain).succeeded()) return kReadError;
    const wchar16* capture_file = plain;
    // A compressed tar whatever its name: 7-Zip's plain listing of a bzip2
    // or xz stream names nothing and shows a size, that of a gzip stream
    // names the one tar inside. When the pipe finds members in it, it is
    // served as one.
    Shape shape;
    if (!tar) shape = shape_of(plain);
    if ((shape.sizes_only || shape.one_tar) && capture_path(work, piped) &&
        run_archiver(setup.exe, with_password(list_run(setup.exe, archive, true), setup), piped).succeeded() && shape_of(piped).members) {
        capture_file = piped;
        tar = true;
    }

    size_t count;
    {
        Capture capture;
        if (!capture.open(capture_file)) return kReadError;
        count = count_members(capture.reader(), setup.threshold);
    }
    size_t bytes;
    if (!table_bytes(count, sizeof(MemberRecord), bytes)) return kNoMemory;
    platform::OwnedBlock block(platform::alloc_block(bytes));
    if (!block) return kNoMemory;

    int32_t seconds;
    if (!archive_time(archive, seconds)) return kReadError;

    Capture capture;
    if (!capture.open(capture_file)) return kReadError;
    // The paths are kept while they take no more room than the table.
    out.paths.set_limit(std::max<size_t>(bytes, 1 << 20) / sizeof(wchar16));
    fill_members(capture.reader(), setup.threshold, seconds, static_cast<MemberRecord*>(block.get()), count,
                 &out.paths);
    out.paths.finish();
    out.table = std::move(block);
    out.tar_pipe = tar;
    return kOk;
}
