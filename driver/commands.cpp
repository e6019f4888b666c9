#include "driver/commands.h"

#include "core/platform.h"

namespace {

WideString quoted(const wchar16* text) { return from_ascii("\"") + text + from_ascii("\""); }

// Each member named by a plain include of its own.
WideString includes_of(const std::vector<WideString>& members) {
    WideString includes;
    for (const WideString& m : members) includes += from_ascii(" -i!") + quoted(m.c_str());
    return includes;
}

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

namespace {

wchar16 fold(wchar16 c) { return platform::upper_ordinal(c); }

// A wildcard pattern ('*' any run, '?' any one unit) against the whole of
// name, case aside as the file system compares names. Greedy, going back
// only to the last '*': no recursion, time bounded by the lengths' product.
bool matches(const wchar16* pattern, size_t pattern_len, const wchar16* name) {
    size_t p = 0, n = 0, star = SIZE_MAX, resume = 0;
    size_t name_len = wide_len(name);
    while (n < name_len) {
        if (p < pattern_len && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern_len && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
            ++p;
            ++n;
        } else if (star != SIZE_MAX) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern_len && pattern[p] == '*') ++p;
    return p == pattern_len;
}

bool is_blank(wchar16 c) { return c == ' ' || c == '\t'; }

}  // namespace

bool use_tar_pipe(const wchar16* archive, const wchar16* tar_setting) {
    if (!tar_setting[0]) return true;
    WideString stem(archive, find_extension(archive));
    static const wchar16 kTar[] = {'.', 't', 'a', 'r'};
    const wchar16* inner = find_extension(stem.c_str());
    if (platform::compare_ordinal_nocase(inner, wide_len(inner), kTar, 4) == 0) return true;
    const wchar16* name = archive;
    for (const wchar16* c = archive; *c; ++c)
        if (*c == '\\' || *c == '/') name = c + 1;
    // Commas and semicolons separate the patterns; blanks around one are no part of it.
    const wchar16* item = tar_setting;
    for (;;) {
        const wchar16* end = item;
        while (*end && *end != ',' && *end != ';') ++end;
        const wchar16* first = item;
        const wchar16* last = end;
        while (first < last && is_blank(*first)) ++first;
        while (last > first && is_blank(last[-1])) --last;
        if (first < last && matches(first, static_cast<size_t>(last - first), name)) return true;
        if (!*end) return false;
        item = end + 1;
    }
}

// Every run that may read a password takes it in UTF-8 (-scc sets the
// console's charset, standard input's too): in the OEM code page most
// passwords beyond ASCII could not be typed at all.
//
// Every program path is quoted: unquoted, "C:\Program Files\7-Zip\7z.exe"
// would start C:\Program.exe wherever one exists.
WideString test_command(const wchar16* archiver, const wchar16* archive) {
    return quoted(archiver) + from_ascii(" t ") + quoted(archive) + from_ascii(" -slt -ba -sccUTF-8");
}

// Listings are asked for in UTF-8: with its output redirected 7-Zip would
// otherwise write names in the OEM code page, which cannot hold every name.
ArchiverRun list_run(const wchar16* archiver, const wchar16* archive, bool tar_pipe) {
    if (!tar_pipe) return {quoted(archiver) + from_ascii(" l ") + quoted(archive) + from_ascii(" -slt -ba -sccUTF-8"), {}};
    return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + from_ascii(" -so -sccUTF-8"),
            quoted(archiver) + from_ascii(" l -slt -ba -si -ttar -sccUTF-8")};
}

// The member is named with a plain include ("-i!"): a recursive one would
// also bring out every namesake in a subfolder.
ArchiverRun extract_run(const wchar16* archiver, const wchar16* archive, const wchar16* folder, const wchar16* member,
                bool tar_pipe) {
    return extract_run(archiver, archive, folder, std::vector<WideString>{member}, tar_pipe);
}

ArchiverRun output_run(const wchar16* archiver, const wchar16* archive, const wchar16* member, bool tar_pipe) {
    return output_run(archiver, archive, std::vector<WideString>{member}, tar_pipe);
}

ArchiverRun output_run(const wchar16* archiver, const wchar16* archive, const std::vector<WideString>& members,
                       bool tar_pipe, bool streamed) {
    const WideString includes = includes_of(members);
    const WideString first = quoted(archiver) + from_ascii(" x ") + quoted(archive) +
                             from_ascii(streamed ? " -mmt1" : "") + from_ascii(" -so -sccUTF-8");
    if (!tar_pipe) return {first + includes, {}};
    return {first, quoted(archiver) + from_ascii(" x -so -si -ttar") + includes};
}

ArchiverRun extract_run(const wchar16* archiver, const wchar16* archive, const wchar16* folder,
                        const std::vector<WideString>& members, bool tar_pipe, bool streamed) {
    const WideString threads = from_ascii(streamed ? " -mmt1" : "");
    WideString into = from_ascii(" -o") + quoted(folder) + from_ascii(" -aoa");
    const WideString includes = includes_of(members);
    if (!tar_pipe)
        return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + into + threads + from_ascii(" -sccUTF-8") + includes,
                {}};
    return {quoted(archiver) + from_ascii(" x ") + quoted(archive) + threads + from_ascii(" -so -sccUTF-8"),
            quoted(archiver) + from_ascii(" x") + into + from_ascii(" -si -ttar") + includes};
}

size_t include_length(const WideString& member) { return member.size() + 6; }

int32_t size_threshold(int maxMB) {
    if (maxMB <= 0) return 0;
    if (maxMB >= 2048) return INT32_MAX;
    return static_cast<int32_t>(maxMB) << 20;
}
