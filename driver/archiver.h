// The archiver driver: settings and work area, finding 7-Zip, runs of
// 7z.exe, the support test, the listing and the extraction of one member.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/platform.h"
#include "core/records.h"
#include "core/text.h"
#include "driver/commands.h"
#include "driver/member_paths.h"
#include "driver/scratch.h"
#include "driver/secret.h"

class FetchWatch;  // driver/progress.h

// The section "UserSetting" of the settings file beside the module.
struct Settings {
    wchar16 ext[kPathChars];
    wchar16 dir[kPathChars];
    int maxMB;
    wchar16 tar[kPathChars];
    int aheadMB;  // disk for members read ahead, all archives together; 0: none are
    // test=list: an archive is claimed once 7-Zip lists it, each member
    // checked only by its own extraction; else (test=full) once it tests clean.
    bool claim_by_listing;
    int askPassword;  // 0: an archive needing a password no one gave yet is refused at once, unasked
};

// Settings are read afresh for every request: a changed file is seen at once.
Settings read_settings();
bool settings_path(wchar16 (&out)[kPathChars]);
// Writes the keys into the settings file, keeping whatever else it
// holds; a file made here is UTF-16, so a path in any script survives.
// False when the file cannot be written.
bool write_settings(const Settings& s);

// What one request works with: the settings as it began and the 7-Zip they
// lead to, found once so that every check and every run of the request
// names the same program.
struct Setup {
    Settings settings;
    // 7z.exe by its full path, with 7z.dll beside it; empty when none was found.
    wchar16 exe[kPathChars];
    int32_t threshold;
    // The password every run of the request gives 7-Zip on its standard
    // input; none when the archive needs none, or none is known for it.
    std::shared_ptr<const Secret> password;
    bool found() const { return exe[0] != 0; }
};
Setup read_setup();

// The folder holding both 7z.exe and 7z.dll: `dir` when set (relative to
// the plug-in's own folder when relative), else the first of the plug-in's
// folder, the host program's, the folders 7-Zip's installer recorded, and
// 7-Zip's usual places under Program Files. Never the current folder or PATH.
bool find_7zip(const Settings& s, wchar16 (&exe)[kPathChars]);
// Where find_7zip looks, in its order, as the user is told: folders, and
// the registry keys 7-Zip's installer writes.
std::vector<WideString> places_sought(const Settings& s);

// The work folder under the user's temporary folder; ensure_ makes it when missing.
bool work_area_path(wchar16 (&out)[kPathChars]);
bool ensure_work_area(wchar16 (&out)[kPathChars]);
// This request's capture file in the work folder. Each thread of each
// process has its own, so overlapping requests never read each other's.
bool capture_path(const wchar16* work_area, wchar16 (&out)[kPathChars]);

// 7-Zip's verdict on an archive: it tested it without error, or not; or
// it could not be asked (not started, its output not captured); or it
// asked for a password, and the setup's (if any) did not open the archive.
enum class Verdict { kYes, kNo, kNotAsked, kLocked };
Verdict test_archive(const Setup& setup, const wchar16* archive);

// The run with the setup's password, if any, for its first program.
ArchiverRun with_password(ArchiverRun run, const Setup& setup);

// What a listing knew: the table handed to hosts, the full paths of its
// members, and whether it was read through the tar pipe.
struct Listing {
    platform::OwnedBlock table;
    MemberPaths paths;
    bool tar_pipe = false;
};

// Lists the archive. Archives whose names call for it go through the tar
// pipe; so do those whose plain listing names no member but shows a size
// (a compressed tar under any name), when the pipe finds members in them.
ResultCode list_archive(const Setup& setup, const wchar16* archive, Listing& out);

// A file of exactly `size` bytes, read into a new block (owned by the
// caller on success); kReadError when it is another size or cannot be read.
ResultCode read_file_bytes(const WideString& file, uint64_t size, platform::OwnedBlock& bytes);

// What an extraction makes of a member: a file as 7-Zip writes it, with
// the times the archive gives, for a host's folder; or its bytes alone,
// from 7-Zip's standard output, for a host's memory (7-Zip then makes no
// file of its own, and a run beside others waits less).
enum class Into { kFile, kBytes };

// A member brought out on its own: the one file in a scratch folder of its
// own, exactly as long as the listing said. Gone with this object.
class ExtractedMember {
public:
    // Into a new block (owned by the caller on success).
    ResultCode read(platform::OwnedBlock& bytes, size_t& length) const;
    // Moved to target, a file that must not exist yet: kWriteError otherwise.
    ResultCode move_to(const WideString& target) const;

private:
    friend ResultCode extract_path(const Setup&, const wchar16*, const WideString&, uint64_t, bool,
                                   ExtractedMember&, FetchWatch*, Into);
    ScratchFolder folder_;
    WideString file_;
    uint64_t size_ = 0;
};

// Extracts the member listed under `path` with `size` bytes, unless its
// path leads out of the work folder. A watch is told how far 7-Zip has
// come; when it says stop, 7-Zip is ended and the answer is kAborted.
ResultCode extract_path(const Setup& setup, const wchar16* archive, const WideString& path, uint64_t size,
                        bool tar_pipe, ExtractedMember& out, FetchWatch* watch = nullptr, Into into = Into::kFile);

// Lists the archive again (through the tar pipe or not, as it was listed)
// to learn the full path of the member at the record's position and
// extracts it, unless 7-Zip cannot bring it out alone or the member found
// there is not the one the record describes: for a listing whose paths
// were too many to keep.
ResultCode extract_member(const Setup& setup, const wchar16* archive, const MemberRecord& record, bool tar_pipe,
                          ExtractedMember& out, FetchWatch* watch = nullptr, Into into = Into::kFile);
