#include "driver/commands.h"

#include "core/platform.h"

namespace {

WideString quoted(const wchar16* text) { return from_ascii("\"") + text + from_ascii("\""); }

}  // namespace

const wchar16* find_extension(const wchar16* path) {
    const wchar16* dot = nullptr;
    for (; *path; ++path) {
        if (*path == '\\' || *path == ' ')
            dot = nullptr;
        else if (*path == '.')
            dot = path;
    }
    return dot ? dot : path;
}

bool use_tar_pipe(const wchar16* archive, const wchar16* tar_setting) {
    if (!tar_setting[0]) return true;
    WideString ext = find_extension(archive);
    WideString stem(archive, find_extension(archive));
    static const wchar16 kTar[] = {'.', 't', 'a', 'r'};
    const wchar16* inner = find_extension(stem.c_str());
    if (platform::compare_ordinal_nocase(inner, wide_len(inner), kTar, 4) == 0) return true;
    if (ext.empty()) return false;
    WideString setting = tar_setting;
    platform::lower_case(&setting[0]);
    platform::lower_case(&ext[0]);
    return setting.find(ext) != WideString::npos;
}

// Every program path is quoted: unquoted, "C:\Program Files\7-Zip\7z.exe"
// would start C:\Program.exe wherever one exists.
WideString test_command(const wchar16* archiver, const wchar16* archive) {
    return quoted(archiver) + from_ascii(" t ") + quoted(archive) + from_ascii(" -slt -ba");
}

// Listings are asked for in UTF-8: with its output redirected 7-Zip would
// otherwise write names in the OEM code page, which cannot hold every name.
ArchiverRun list_run(const wchar16* archiver, const wchar16* archive, bool tar_pipe) {
    if (!tar_pipe) return {quoted(archiver) + from_ascii(" l ") + quoted(archive) + from_ascii(" -slt -ba -sccUTF-8"), {}};
    return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + from_ascii(" -so"),
            quoted(archiver) + from_ascii(" l -slt -ba -si -ttar -sccUTF-8")};
}

// The member is named with a plain include ("-i!"): a recursive one would
// also bring out every namesake in a subfolder.
ArchiverRun extract_run(const wchar16* archiver, const wchar16* archive, const wchar16* folder, const wchar16* member,
                bool tar_pipe) {
    WideString into = from_ascii(" -o") + quoted(folder) + from_ascii(" -aoa");
    if (!tar_pipe)
        return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + into + from_ascii(" -i!") + quoted(member), {}};
    return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + from_ascii(" -so"),
            quoted(archiver) + from_ascii(" x") + into + from_ascii(" -si -ttar -i!") + quoted(member)};
}

int32_t size_threshold(int maxMB) {
    if (maxMB <= 0) return 0;
    if (maxMB >= 2048) return INT32_MAX;
    return static_cast<int32_t>(maxMB) << 20;
}
