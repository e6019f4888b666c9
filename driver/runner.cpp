#include "driver/runner.h"

#include <windows.h>

#include <vector>

#include "driver/commands.h"
#include "driver/secret.h"

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

// Where a run's standard output goes: the capture file, or NUL. Shared
// for reading, since the capture is read right after the run, and for
// deleting, so a handle some lingering process still holds cannot keep it
// from being removed.
FileHandle open_output(const wchar16* output_path) {
    const wchar16* path = output_path ? output_path : L"NUL";
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FileHandle out(CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid() && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // Another process unloading the plug-in may have just removed the
        // empty work folder: make it again, once.
        WideString folder(path);
        size_t slash = folder.find_last_of(L'\\');
        folder.resize(slash == WideString::npos ? 0 : slash);
        if (!folder.empty() && CreateDirectoryW(folder.c_str(), nullptr))
            out.reset(CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    return out;
}

// An inheritable copy of a handle, for the moment of one start: no other
// program the host starts meanwhile can take the original along (a pipe's
// writing end held by a stranger would keep its reader waiting for ever).
KernelHandle inheritable(HANDLE h) {
    HANDLE copy = nullptr;
    if (!h || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return KernelHandle();
    return KernelHandle(copy);
}

// The priority class of a run: by default a child has the host's class
// when that is below normal, else normal; one in the background a step
// below that.
DWORD priority_class(bool background) {
    const DWORD host = GetPriorityClass(GetCurrentProcess());
    const DWORD fore =
        host == IDLE_PRIORITY_CLASS || host == BELOW_NORMAL_PRIORITY_CLASS ? host : NORMAL_PRIORITY_CLASS;
    if (!background) return fore;
    return fore == NORMAL_PRIORITY_CLASS ? BELOW_NORMAL_PRIORITY_CLASS : IDLE_PRIORITY_CLASS;
}

// Starts one program hidden, with `in` and `out` as its standard input and
// output and no other handle of ours.
KernelHandle start_program(const wchar16* exe, const WideString& command_line, HANDLE in, HANDLE out,
                           bool background) {
    if (command_line.size() >= kMaxCommandLine) return KernelHandle();
    // A handle that could not be had (a capture that cannot be written)
    // leaves that stream closed; the run's output is then lost.
    KernelHandle child_in = inheritable(in), child_out = inheritable(out);
    HANDLE inherited[2];
    DWORD count = 0;
    if (child_in.valid()) inherited[count++] = child_in.get();
    if (child_out.valid()) inherited[count++] = child_out.get();

    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.StartupInfo.wShowWindow = SW_HIDE;
    si.StartupInfo.hStdInput = child_in.get();
    si.StartupInfo.hStdOutput = child_out.get();
    si.StartupInfo.hStdError = nullptr;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (count == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return KernelHandle();
    bool listed = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                            count * sizeof(HANDLE), nullptr, nullptr);
    si.lpAttributeList = list;

    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);  // CreateProcessW may write into its command line
    PROCESS_INFORMATION pi = {};
    // A start that fails for a moment (under load, or while something holds
    // the program open) is tried again, after a short and growing pause.
    // No console at all: 7-Zip reads and writes only the handles it is
    // given, and a hidden console would be one more process to start (and,
    // under Wine, one left behind holding the host's own handles when a run
    // is ended while it starts).
    static const DWORD kPauses[] = {20, 50, 100};
    BOOL started = FALSE;
    for (size_t attempt = 0; listed; ++attempt) {
        started = CreateProcessW(exe, line.data(), nullptr, nullptr, TRUE,
                                 DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &si.StartupInfo,
                                 &pi);
        if (started || attempt == sizeof kPauses / sizeof kPauses[0] || !may_pass(GetLastError())) break;
        Sleep(kPauses[attempt]);
    }
    DeleteProcThreadAttributeList(list);
    if (!started) return KernelHandle();
    // Set once started: Wine takes no class from the creation flags.
    if (background) SetPriorityClass(pi.hProcess, priority_class(true));
    CloseHandle(pi.hThread);
    return KernelHandle(pi.hProcess);
}

// Waits for every process to end. An observer is asked about every 100 ms
// whether the run is still wanted; when not, the processes are ended and
// waited for, so nothing of theirs is open when the caller clears up.
bool wait_all(const HANDLE* processes, DWORD count, RunObserver* observer) {
    if (!observer) {
        WaitForMultipleObjects(count, processes, TRUE, INFINITE);
        return true;
    }
    while (WaitForMultipleObjects(count, processes, TRUE, 100) == WAIT_TIMEOUT) {
        if (observer->still_wanted()) continue;
        for (DWORD i = 0; i < count; ++i) TerminateProcess(processes[i], 1);
        WaitForMultipleObjects(count, processes, TRUE, INFINITE);
        return false;
    }
    return true;
}

}  // namespace

// 7-Zip's exit codes: 0 no error, 1 warning (non-fatal), 2 fatal error,
// 7 command line error, 8 not enough memory, 255 stopped by the user (also
// what a password prompt answered from our empty input gives). Any other
// code is no ending of 7-Zip's own: it was ended from outside or crashed.
//
// Every run here (test, listing, extraction; both programs of a tar pipe)
// counts only when it ended with 0; anything else is no answer: a test
// gives no verdict to keep, a listing is neither served nor kept, an
// extraction hands nothing over. Why not 1 as well:
// - 7-Zip reports what an archive only warns of with 0: a zip with data
//   after its end tests, lists and extracts with 0 and a "WARNINGS" block.
//   A gzip with data after its end is an error (2) already in the test. No
//   archive of the corpus gives 1 to t, l or x.
// - A program ended from outside ends with its killer's choice of code, and
//   1 is a common one. A listing cut short would stand for the archive until
//   it changes; an extraction cut short leaves a file above 4 KiB at its full
//   listed length (7-Zip sizes it before writing) with a zero-filled tail.
// - A pipe's first program would fail writing if the second stopped
//   reading early; the second reads the tar to its end in every run here.
bool RunResult::succeeded() const {
    if (!started || stopped) return false;
    for (int i = 0; i < programs; ++i)
        if (exit_codes[i] != 0) return false;
    return true;
}

namespace {

// The exit code of a program that has ended.
uint32_t exit_code(const KernelHandle& process) {
    DWORD code = STILL_ACTIVE;
    if (!GetExitCodeProcess(process.get(), &code)) code = STILL_ACTIVE;
    return code;
}

}  // namespace

namespace {

// The first program's standard input: the password's line in a pipe
// already closed behind it, or NUL. Either way at its end once read, so a
// prompt (for a password, or asked again) is answered at once instead of
// waiting for ever. The line is written before the program starts, into
// room the pipe surely has, and wiped from ours at once.
FileHandle first_input(const Secret* input) {
    if (!input)
        return FileHandle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char line[Secret::kChars * 3 + 2];
    size_t length = input->line(line, sizeof line);
    HANDLE read_end = nullptr, write_end = nullptr;
    KernelHandle reader;
    bool written = false;
    if (length != 0 && CreatePipe(&read_end, &write_end, nullptr, sizeof line)) {
        reader.reset(read_end);
        KernelHandle writer(write_end);
        DWORD put = 0;
        written = WriteFile(write_end, line, static_cast<DWORD>(length), &put, nullptr) && put == length;
    }
    wipe(line, sizeof line);
    return written ? FileHandle(reader.release()) : FileHandle();
}

}  // namespace

bool StartedRun::start(const wchar16* exe, const ArchiverRun& run, const wchar16* output_path, bool background) {
    FileHandle out = open_output(output_path);
    FileHandle in = first_input(run.input);
    if (run.input && !in.valid()) return false;
    if (run.second.empty()) {
        processes_[0] = start_program(exe, run.first, in.get(), out.get(), background);
        if (!processes_[0].valid()) return false;
        programs_ = 1;
        return true;
    }
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 1 << 16)) return false;
    programs_ = 2;
    KernelHandle reader(read_end), writer(write_end);
    processes_[0] = start_program(exe, run.first, in.get(), writer.get(), background);
    if (processes_[0].valid()) processes_[1] = start_program(exe, run.second, reader.get(), out.get(), background);
    // Our ends go on return: the second sees the end of its input when the
    // first is done, and a first whose reader never started is not left
    // waiting on a full pipe.
    return processes_[1].valid();
}

void StartedRun::set_background(bool background) {
    const DWORD priority = priority_class(background);
    for (const KernelHandle& p : processes_)
        if (p.valid()) SetPriorityClass(p.get(), priority);
}

DWORD StartedRun::started(HANDLE (&processes)[2]) const {
    DWORD count = 0;
    for (const KernelHandle& p : processes_)
        if (p.valid()) processes[count++] = p.get();
    return count;
}

bool StartedRun::wait(uint32_t ms) const {
    HANDLE processes[2];
    DWORD count = started(processes);
    return count == 0 || WaitForMultipleObjects(count, processes, TRUE, ms) != WAIT_TIMEOUT;
}

RunResult StartedRun::finish(RunObserver* observer) {
    RunResult result;
    HANDLE processes[2];
    DWORD count = started(processes);
    if (programs_ == 0) return result;
    result.stopped = count != 0 && !wait_all(processes, count, observer);
    result.programs = programs_;
    for (int i = 0; i < programs_; ++i)
        if (processes_[i].valid()) result.exit_codes[i] = exit_code(processes_[i]);
    result.started = count == static_cast<DWORD>(programs_);
    for (KernelHandle& p : processes_) p.reset();
    return result;
}

StartedRun::~StartedRun() {
    HANDLE processes[2];
    DWORD count = started(processes);
    if (count == 0) return;
    for (DWORD i = 0; i < count; ++i) TerminateProcess(processes[i], 1);
    // Ended programs go at once; the bound keeps a host from hanging on one
    // that could not be ended.
    WaitForMultipleObjects(count, processes, TRUE, 10000);
}

RunResult run_archiver(const wchar16* exe, const ArchiverRun& run, const wchar16* output_path,
                       RunObserver* observer) {
    StartedRun programs;
    programs.start(exe, run, output_path);
    return programs.finish(observer);
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
