// Stands in for 7z.exe where the tests must force an exact output or count
// runs. It appends its command line to runs.log beside itself, then prints
// the bytes of out-<key>.txt (key: the command letter, with "-so" when
// given to a run naming no member, and "-si" when given: t, l, x, x-so,
// l-si, x-si). For an extraction with -o, for
// each -i! it writes member-<file name>.bin, else member.bin (when present), to the
// output folder under the pattern's name; with second.bin beside it, that
// too, under the name with ".second" added. With -so instead, it writes
// the same bytes, then second.bin's, to its output, member after member;
// naming several, it writes stray.bin's bytes after the first. A run with -si reads its input to
// the end and keeps it in in-<key>.txt. crash-<key>.txt makes it print half
// its output and die; vanish-after-<key>.txt makes it move itself away, so
// later runs cannot start. open-x.txt leaves the member held open (no
// deleting) by a helper of its own until the event the file names is set.
// many-<key>.txt holding a count N makes it print N one-byte members after the output.
// wait-<key>.txt makes it wait, once the rest is done, until the event the
// file names is set: a run in progress as long as a test needs.
// exit-<key>.txt holding a code makes it end with that code, as a program
// ended from outside does, once it has done all the rest.
// hold-<key>.txt makes an extraction write the first half of the member and
// wait (two minutes at most) for a file named go beside it before the rest;
// when it holds a count, only an extraction naming at least that many.
// Every run notes its priority class in classes.log beside it ("<key>
// <class>"), and a held one each change of it ("<key> now <class>").
// A run without -si reads its input to the end too, adding it to
// in-<key>.txt when there is any. password.txt makes every run such an
// archive's: it prompts as 7-Zip does and, unless the first line of its
// input is that password, ends there with 255 (no input) or 2 (another).
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring beside_me(const std::wstring& name) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\') + 1) + name;
}

std::string read_all(const std::wstring& path, bool& found) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    found = f != INVALID_HANDLE_VALUE;
    std::string out;
    if (!found) return out;
    char buf[65536];
    DWORD got;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
    CloseHandle(f);
    return out;
}

void append_log(const std::wstring& line, const wchar_t* log = L"runs.log") {
    // Runs of a tar pipe overlap: take turns on the log.
    HANDLE m = CreateMutexW(nullptr, FALSE, L"Local\\standin7z.log");
    WaitForSingleObject(m, INFINITE);
    HANDLE f = CreateFileW(beside_me(log).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, 0, nullptr);
    int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string u(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &u[0], n, nullptr, nullptr);
    u += '\n';
    DWORD put;
    WriteFile(f, u.data(), static_cast<DWORD>(u.size()), &put, nullptr);
    CloseHandle(f);
    ReleaseMutex(m);
    CloseHandle(m);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void put(const std::string& bytes) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD done;
    if (out && out != INVALID_HANDLE_VALUE && !bytes.empty())
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

// Holds a file open, refusing its deletion, until the test sets the event.
int hold(const wchar_t* path, const std::wstring& event) {
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, (event + L".held").c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    SetEvent(held);
    WaitForSingleObject(release, 60000);
    CloseHandle(f);
    return 0;
}

void write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put_bytes;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put_bytes, nullptr);
    CloseHandle(f);
}

std::string read_input() {
    std::string in;
    char buf[65536];
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got) in.append(buf, got);
    return in;
}

void append_file(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD put_bytes;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put_bytes, nullptr);
    CloseHandle(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring(argv[1]) == L"hold") return hold(argv[2], argv[3]);
    append_log(GetCommandLineW());
    if (argc < 2) return 7;

    std::wstring key = argv[1];
    std::wstring out_dir;
    std::vector<std::wstring> patterns;
    bool so = false, si = false;
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        so = so || a == L"-so";
        si = si || a == L"-si";
        if (a.rfind(L"-o", 0) == 0) out_dir = a.substr(2);
        if (a.rfind(L"-i!", 0) == 0) patterns.push_back(a.substr(3));
    }
    const bool to_output = so && !patterns.empty();
    if (so && !to_output) key += L"-so";
    if (si) key += L"-si";

    // The class last noted: a change is noted whenever it comes, even before a hold.
    DWORD noted = 0;
    auto note_class = [&](const wchar_t* when) {
        noted = GetPriorityClass(GetCurrentProcess());
        append_log(key + when + L" " + std::to_wstring(noted), L"classes.log");
    };
    note_class(L"");
    bool reads_tar = key.size() > 3 && key.compare(key.size() - 3, 3, L"-si") == 0;
    if (!reads_tar) {
        std::string in = read_input();
        if (!in.empty()) append_file(beside_me(L"in-" + key + L".txt"), in);
        bool locked = false;
        std::string password = read_all(beside_me(L"password.txt"), locked);
        if (locked) {
            put("Enter password (will not be echoed):\n");
            if (in.empty()) return 255;
            if (in.substr(0, in.find('\r')) != password) return 2;
        }
    }

    bool found = false;
    std::string output = read_all(beside_me(L"out-" + key + L".txt"), found);
    bool crash = false;
    read_all(beside_me(L"crash-" + key + L".txt"), crash);
    if (crash) {
        put(output.substr(0, output.size() / 2));
        // What a crash looks like from outside, without waking a debugger.
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
    }
    put(output);
    bool many = false;
    std::string count = read_all(beside_me(L"many-" + key + L".txt"), many);
    if (many) {
        std::string block = "Path = m.png\nSize = 1\n", chunk;
        for (int i = 0; i < 4096; ++i) chunk += block;
        for (unsigned long n = std::stoul(count); n > 0;) {
            unsigned long now = n < 4096 ? n : 4096;
            put(chunk.substr(0, now * block.size()));
            n -= now;
        }
    }
    if (reads_tar) write_file(beside_me(L"in-" + key + L".txt"), read_input());
    bool vanish = false;
    read_all(beside_me(L"vanish-after-" + key + L".txt"), vanish);
    if (vanish) MoveFileW(beside_me(L"7z.exe").c_str(), beside_me(L"7z.exe.gone").c_str());

    for (const std::wstring& pattern : patterns) {
        if (out_dir.empty() && !to_output) break;
        std::wstring name = pattern.substr(pattern.find_last_of(L"\\/") + 1);
        std::string member = read_all(beside_me(L"member-" + name + L".bin"), found);
        if (!found) member = read_all(beside_me(L"member.bin"), found);
        if (found) {
            std::wstring target = out_dir + L"\\" + pattern;
            HANDLE f = GetStdHandle(STD_OUTPUT_HANDLE);
            if (to_output) {
                wchar_t path[MAX_PATH];
                DWORD n = GetFinalPathNameByHandleW(f, path, MAX_PATH, 0);
                target.assign(path, n < MAX_PATH ? n : 0);
            } else {
                for (size_t i = out_dir.size() + 1; i < target.size(); ++i)
                    if (target[i] == L'\\') CreateDirectoryW(target.substr(0, i).c_str(), nullptr);
                f = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
            }
            bool hold = false;
            const std::string least = read_all(beside_me(L"hold-" + key + L".txt"), hold);
            hold = hold && patterns.size() >= static_cast<size_t>(atoi(least.c_str()));
            DWORD half = hold ? static_cast<DWORD>(member.size() / 2) : 0, put_bytes;
            WriteFile(f, member.data(), half, &put_bytes, nullptr);
            FlushFileBuffers(f);
            for (int waited = 0; hold && waited < 6000 && !exists(beside_me(L"go")); ++waited) {
                if (GetPriorityClass(GetCurrentProcess()) != noted) note_class(L" now");
                Sleep(20);
            }
            WriteFile(f, member.data() + half, static_cast<DWORD>(member.size()) - half, &put_bytes, nullptr);
            std::string second = read_all(beside_me(L"second.bin"), found);
            if (found && to_output) put(second);
            bool stray = false;
            const std::string strayed = read_all(beside_me(L"stray.bin"), stray);
            if (stray && to_output && &pattern == &patterns.front() && patterns.size() > 1) put(strayed);
            // Its output too, after the last member: what was written is let go.
            if (!to_output || &pattern == &patterns.back()) CloseHandle(f);
            if (found && !to_output) write_file(target + L".second", second);
            std::string event = read_all(beside_me(L"open-x.txt"), found);
            if (found) {
                std::wstring name(event.begin(), event.end());
                HANDLE held = CreateEventW(nullptr, TRUE, FALSE, (name + L".held").c_str());
                std::wstring line = L"\"" + beside_me(L"7z.exe") + L"\" hold \"" + target + L"\" \"" + name + L"\"";
                STARTUPINFOW si = {};
                si.cb = sizeof si;
                PROCESS_INFORMATION pi;
                if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                                   &pi)) {
                    WaitForSingleObject(held, 60000);
                    CloseHandle(pi.hThread);
                    CloseHandle(pi.hProcess);
                }
                CloseHandle(held);
            }
        }
    }
    bool wait = false;
    std::string event = read_all(beside_me(L"wait-" + key + L".txt"), wait);
    if (wait) {
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
        WaitForSingleObject(release, INFINITE);
        CloseHandle(release);
    }
    bool ended = false;
    std::string code = read_all(beside_me(L"exit-" + key + L".txt"), ended);
    if (ended) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(std::stoul(code)));
    return 0;
}
