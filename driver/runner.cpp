#include "driver/runner.h"

#include <windows.h>

#include <vector>

#include "driver/commands.h"

namespace {

// Whether a failed start may succeed when tried again: not for a program
// that is missing, forbidden or no program at all.
bool may_pass(DWORD error) {
    static const DWORD kLasting[] = {ERROR_FILE_NOT_FOUND,     ERROR_PATH_NOT_FOUND,
                                     ERROR_ACCESS_DENIED,      ERROR_BAD_EXE_FORMAT,
                                     ERROR_EXE_MACHINE_TYPE_MISMATCH, ERROR_EXE_MARKED_INVALID,
                                     ERROR_INVALID_EXE_SIGNATURE, ERROR_INVALID_NAME,
                                     ERROR_BAD_PATHNAME,       ERROR_DIRECTORY,
                                     ERROR_FILENAME_EXCED_RANGE, ERROR_INVALID_PARAMETER,
                                     ERROR_NOT_SUPPORTED,      740 /* ERROR_ELEVATION_REQUIRED */};
    for (DWORD lasting : kLasting)
        if (error == lasting) return false;
    return true;
}

}  // namespace

bool run_archiver(const WideString& command_line, const wchar16* output_path) {
    if (command_line.size() >= kMaxCommandLine) return false;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    // Shared for reading, since the capture is read right after the run, and
    // for deleting, so a handle some lingering process still holds cannot
    // keep the capture from being removed.
    const wchar16* out_path = output_path ? output_path : L"NUL";
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FileHandle out(CreateFileW(out_path, GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid() && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // Another process unloading the plug-in may have just removed the
        // empty work folder: make it again, once.
        WideString folder(out_path);
        folder.resize(folder.find_last_of(L'\\') == WideString::npos ? 0 : folder.find_last_of(L'\\'));
        if (!folder.empty() && CreateDirectoryW(folder.c_str(), nullptr))
            out.reset(CreateFileW(out_path, GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    // Standard input at its end: a prompt (a password, say) is answered at
    // once instead of waiting for ever.
    FileHandle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));

    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.StartupInfo.wShowWindow = SW_HIDE;
    si.StartupInfo.hStdInput = in.valid() ? in.get() : nullptr;
    si.StartupInfo.hStdOutput = out.valid() ? out.get() : nullptr;
    si.StartupInfo.hStdError = nullptr;

    // The child inherits these two handles and no other: a capture another
    // thread has open must not live on in this run's process.
    HANDLE inherited[2];
    DWORD count = 0;
    if (in.valid()) inherited[count++] = in.get();
    if (out.valid()) inherited[count++] = out.get();
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    bool listed = count > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size);
    if (listed && !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                             count * sizeof(HANDLE), nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        listed = false;
    }
    si.lpAttributeList = listed ? list : nullptr;

    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);  // CreateProcessW may write into its command line
    PROCESS_INFORMATION pi = {};
    DWORD flags = CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
    // A start that fails for a moment (under load, or while something holds
    // the program open) is tried again, after a short and growing pause.
    static const DWORD kPauses[] = {20, 50, 100};
    BOOL started = FALSE;
    for (size_t attempt = 0;; ++attempt) {
        started = CreateProcessW(nullptr, line.data(), &inherit, &inherit, TRUE, flags, nullptr, nullptr,
                                 &si.StartupInfo, &pi);
        if (started || attempt == sizeof kPauses / sizeof kPauses[0] || !may_pass(GetLastError())) break;
        Sleep(kPauses[attempt]);
    }
    if (listed) DeleteProcThreadAttributeList(list);
    if (!started) return false;
    KernelHandle process(pi.hProcess);
    KernelHandle thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    return true;
}

bool Capture::open(const wchar16* path) {
    // Share writing: a child that just wrote the file may still be closing it.
    file_.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_.valid();
}

size_t Capture::read(void* context, char* buffer, size_t capacity) {
    auto* self = static_cast<Capture*>(context);
    DWORD got = 0;
    if (!ReadFile(self->file_.get(), buffer, static_cast<DWORD>(capacity), &got, nullptr)) return 0;
    return got;
}
