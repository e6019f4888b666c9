// The archiver driver: settings and work area, runs of 7z.exe, the support
// test, the listing and the extraction of one member.
#pragma once

#include <cstdint>

#include "core/platform.h"
#include "core/records.h"
#include "core/text.h"

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

// Extracts the member at request.position among the kept members into a new
// block of `length` bytes (owned by the caller on success).
ResultCode extract_member(const wchar16* archive, const MemberRecord& request,
                          platform::OwnedBlock& bytes, size_t& length);
