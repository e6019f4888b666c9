// The archiver driver: settings and work area, runs of 7z.exe, the support
// test, the listing and the extraction of one member.
#pragma once

#include <cstdint>

#include "core/platform.h"
#include "core/records.h"
#include "core/text.h"
#include "driver/scratch.h"

// The section "UserSetting" of the settings file beside the module.
struct Settings {
    wchar16 ext[kPathChars];
    wchar16 dir[kPathChars];
    int maxMB;
    wchar16 tar[kPathChars];
};

// Settings are read afresh for every request: a changed file is seen at once.
Settings read_settings();
bool settings_path(wchar16 (&out)[kPathChars]);
bool archiver_path(const Settings& s, wchar16 (&out)[kPathChars]);
bool archiver_library_path(const Settings& s, wchar16 (&out)[kPathChars]);
// The work folder under the user's temporary folder; ensure_ makes it when missing.
bool work_area_path(wchar16 (&out)[kPathChars]);
bool ensure_work_area(wchar16 (&out)[kPathChars]);
// This request's capture file in the work folder. Each thread of each
// process has its own, so overlapping requests never read each other's.
bool capture_path(const wchar16* work_area, wchar16 (&out)[kPathChars]);

// Yes when the archiver tests the archive without error. The header bytes
// are accepted and not looked at.
bool test_archive(const wchar16* archive, const void* header);

// Lists the archive into a new MemberTable (owned by the caller on success).
ResultCode list_archive(const wchar16* archive, uint32_t offset, platform::OwnedBlock& table);

// A member brought out on its own: the one file in a scratch folder of its
// own, exactly as long as the listing said. Gone with this object.
class ExtractedMember {
public:
    // Into a new block (owned by the caller on success).
    ResultCode read(platform::OwnedBlock& bytes, size_t& length) const;
    // Moved to target, a file that must not exist yet: kWriteError otherwise.
    ResultCode move_to(const WideString& target) const;

private:
    friend ResultCode extract_path(const wchar16*, const wchar16*, const wchar16*, const WideString&,
                                   uint64_t, bool, ExtractedMember&);
    ScratchFolder folder_;
    WideString file_;
    uint64_t size_ = 0;
};

// Extracts the member at request.position among the kept members, unless
// 7-Zip cannot bring it out alone.
ResultCode extract_member(const wchar16* archive, const MemberRecord& request, ExtractedMember& out);

// Extracts the member listed under `path` with `size` bytes into a scratch
// folder in the work folder.
ResultCode extract_path(const wchar16* exe, const wchar16* archive, const wchar16* work_area,
                        const WideString& path, uint64_t size, bool tar_pipe, ExtractedMember& out);
