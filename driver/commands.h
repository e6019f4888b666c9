// The command lines given to 7-Zip, and the choice of the tar pipe. Pure
// text work: no Windows calls beyond the platform seam.
#pragma once

#include <cstdint>
#include <vector>

#include "core/text.h"

class Secret;  // driver/secret.h

// The longest command line CreateProcessW takes, terminator included.
const size_t kMaxCommandLine = 32767;

// The extension as PathFindExtensionW finds it: from the last dot of the
// last path element, dot included; a backslash or a space ends an extension.
const wchar16* find_extension(const wchar16* path);

// Whether an archive is read as a compressed tar: its name ends ".tar.<ext>",
// or its file name matches, as a whole and case aside, one of the wildcard
// patterns of the `tar` setting (separated by commas or semicolons), or the
// setting is empty.
bool use_tar_pipe(const wchar16* archive, const wchar16* tar_setting);

// One run of 7-Zip, or two joined by a pipe when `second` is set: the
// first writes the outer archive's content to its standard output, which
// the second reads as a tar. With input, the first reads that password
// from its standard input (the only way a password reaches 7-Zip).
struct ArchiverRun {
    WideString first;
    WideString second;
    const Secret* input = nullptr;
};

WideString test_command(const wchar16* archiver, const wchar16* archive);
ArchiverRun list_run(const wchar16* archiver, const wchar16* archive, bool tar_pipe);
ArchiverRun extract_run(const wchar16* archiver, const wchar16* archive, const wchar16* folder, const wchar16* member,
                bool tar_pipe);
// Several members in one run, each named by a plain include of its own.
// Streamed: decoded on one thread, so that the members come out one after
// another as they are decoded (several threads decode a solid block's
// LZMA2 stream in large pieces, and its members come out in bursts).
ArchiverRun extract_run(const wchar16* archiver, const wchar16* archive, const wchar16* folder,
                        const std::vector<WideString>& members, bool tar_pipe, bool streamed = false);
// One member written to 7-Zip's standard output (of the second program,
// for a tar pipe). Several: one after another, in the archive's order,
// whatever the order they are named in.
ArchiverRun output_run(const wchar16* archiver, const wchar16* archive, const wchar16* member, bool tar_pipe);
ArchiverRun output_run(const wchar16* archiver, const wchar16* archive, const std::vector<WideString>& members,
                       bool tar_pipe, bool streamed = false);
// What naming one more member adds to such a run's command line.
size_t include_length(const WideString& member);

// The size limit for members in bytes: 0 for a negative setting, the largest
// signed 32-bit value from 2048 MiB on.
int32_t size_threshold(int maxMB);
