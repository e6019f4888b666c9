// Stands in for 7z.exe to count the runs a plug-in makes: appends its
// arguments as a line to the log named by RIZAZUR_BENCH_RUN_LOG, then runs
// the real 7z.exe named by RIZAZUR_BENCH_REAL_7Z with the same arguments and
// standard handles, waits for it and exits with its exit code.
#include <windows.h>

#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

// The command line past the program's own name, leading space kept.
const wchar_t* arguments(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"') ++line;
        return *line ? line + 1 : line;
    }
    while (*line && *line != L' ' && *line != L'\t') ++line;
    return line;
}

void log_line(const std::wstring& log, const wchar_t* text) {
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string line(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &line[0], n, nullptr, nullptr);
    line += "\r\n";
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

}  // namespace

int wmain() {
    std::wstring real = variable(L"RIZAZUR_BENCH_REAL_7Z");
    std::wstring log = variable(L"RIZAZUR_BENCH_RUN_LOG");
    if (real.empty() || log.empty()) return 2;
    const wchar_t* args = arguments(GetCommandLineW());
    log_line(log, args);

    std::wstring line = L"\"" + real + L"\"" + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    // A start can fail for a moment on a machine crowded with Wine programs.
    for (int attempt = 1; !CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
         ++attempt) {
        if (attempt == 5) return 2;
        Sleep(200);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}
