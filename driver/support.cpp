#include <windows.h>
#include <shlwapi.h>

#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/runner.h"
#include "driver/scanner.h"

namespace {

bool is_success_line(const wchar16* piece) {
    return lstrcmpiW(piece, L"Everything is Ok\n") == 0;
}

}  // namespace

bool test_archive(const wchar16* archive, const void* /*header*/) {
    if (!archive) return false;
    Settings s = read_settings();
    wchar_t exe[kPathChars], dll[kPathChars];
    if (!archiver_path(s, exe) || !PathFileExistsW(exe)) return false;
    if (!archiver_library_path(s, dll) || !PathFileExistsW(dll)) return false;

    wchar_t work[kPathChars], capture_file[kPathChars];
    if (!ensure_work_area(work) || !capture_path(work, capture_file)) return false;
    ScopedDelete remover(capture_file);
    if (!run_archiver(test_command(exe, archive), capture_file)) return false;

    Capture capture;
    if (!capture.open(capture_file)) return false;
    wchar16 piece[kPathChars];
    size_t len;
    while (capture.next(piece, len))
        if (is_success_line(piece)) return true;
    return false;
}
