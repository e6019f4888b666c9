#include <windows.h>

#include "core/platform.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/runner.h"
#include "driver/scanner.h"

namespace {

bool is_success_line(const wchar16* piece) {
    return lstrcmpiW(piece, L"Everything is Ok\n") == 0;
}

// 7-Zip's prompt, written to its standard output before it reads one.
bool is_password_prompt(const wchar16* piece) {
    static const wchar16 kPrompt[] = {'E', 'n', 't', 'e', 'r', ' ', 'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
    const size_t n = sizeof kPrompt / sizeof kPrompt[0];
    return wide_len(piece) >= n && platform::compare_ordinal_nocase(piece, n, kPrompt, n) == 0;
}

}  // namespace

ArchiverRun with_password(ArchiverRun run, const Setup& setup) {
    run.input = setup.password.get();
    return run;
}

Verdict test_archive(const Setup& setup, const wchar16* archive) {
    if (!archive || !setup.found()) return Verdict::kNotAsked;
    wchar_t work[kPathChars], capture_file[kPathChars];
    if (!ensure_work_area(work) || !capture_path(work, capture_file)) return Verdict::kNotAsked;
    ScopedDelete remover(capture_file);
    RunResult run = run_archiver(setup.exe, with_password({test_command(setup.exe, archive), {}}, setup), capture_file);
    if (!run.started || run.stopped) return Verdict::kNotAsked;

    Capture capture;
    if (!capture.open(capture_file)) return Verdict::kNotAsked;
    wchar16 piece[kPathChars];
    size_t len;
    bool passed = false, prompted = false;
    while (capture.next(piece, len)) {
        passed = passed || is_success_line(piece);
        prompted = prompted || is_password_prompt(piece);
    }
    // Asked for a password, 7-Zip ends with 255 when its input ran out
    // before one, with 2 when the one given did not open the archive.
    const uint32_t code = run.exit_codes[0];
    if (prompted && (code == 2 || code == 255)) return Verdict::kLocked;
    // A test that failed or was cut short is no verdict on the archive.
    if (!run.succeeded()) return Verdict::kNotAsked;
    return passed ? Verdict::kYes : Verdict::kNo;
}
