#include <windows.h>

#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/runner.h"
#include "driver/scanner.h"

namespace {

bool is_success_line(const wchar16* piece) {
    return lstrcmpiW(piece, L"Everything is Ok\n") == 0;
}

}  // namespace

Verdict test_archive(const Setup& setup, const wchar16* archive) {
    if (!archive || !setup.found()) return Verdict::kNotAsked;
    wchar_t work[kPathChars], capture_file[kPathChars];
    if (!ensure_work_area(work) || !capture_path(work, capture_file)) return Verdict::kNotAsked;
    ScopedDelete remover(capture_file);
    RunResult run = run_archiver(setup.exe, {test_command(setup.exe, archive), {}}, capture_file);
    // A test that failed or was cut short is no verdict on the archive.
    if (!run.succeeded()) return Verdict::kNotAsked;

    Capture capture;
    if (!capture.open(capture_file)) return Verdict::kNotAsked;
    wchar16 piece[kPathChars];
    size_t len;
    while (capture.next(piece, len))
        if (is_success_line(piece)) return Verdict::kYes;
    return Verdict::kNo;
}
