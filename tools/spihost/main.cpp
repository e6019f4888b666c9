// spihost: a command-line Susie host. It loads any Susie archive plug-in and
// drives it the way an image viewer does, so that a plug-in can be tried,
// shown and tested without a viewer.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/spihost/console.h"
#include "tools/spihost/plugin.h"

namespace {

enum Exit { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitHost = 3, kExitCrash = 4 };

const wchar_t kUsage[] =
    L"usage: spihost [--ansi] COMMAND PLUGIN ...\n"
    L"  info PLUGIN                    the information strings and the entry points\n"
    L"  check PLUGIN FILE...           whether the plug-in takes each file\n"
    L"  list PLUGIN ARCHIVE [--utc]    the members the plug-in lists\n"
    L"  get PLUGIN ARCHIVE MEMBER [-o DIR | --stdout] [--file]\n"
    L"                                 one member, by position (digits) or by name\n"
    L"  extract PLUGIN ARCHIVE -o DIR [--file]\n"
    L"                                 every member, into folders as listed\n"
    L"  setup PLUGIN [about]           the plug-in's settings dialog, or its about box\n"
    L"--ansi   call the ANSI entry points (the wide ones are the default)\n"
    L"--file   have the plug-in write the file (the default is memory output)\n"
    L"nothing is overwritten: a name that is taken gets a number, \"same (2).png\";\n"
    L"a name that is no file name on Windows gets a safe one (\"_NUL.png\" for a\n"
    L"device, \"a_b\" for \"a:b\"); with --file spihost writes such a member itself\n"
    L"exit status: 0 done, 1 the plug-in refused or failed, 2 usage,\n"
    L"             3 a plug-in or file that cannot be used, 4 the plug-in crashed\n";

std::wstring describe(int rc) {
    static const wchar_t* const kMeaning[] = {
        L"success",      L"aborted",          L"unknown format", L"broken data",
        L"out of memory", L"memory error",    L"file read error", L"window error",
        L"other error",  L"file write error", L"end of file"};
    const wchar_t* meaning = L"unknown result code";
    if (rc == -1) meaning = L"not served";
    if (rc >= 0 && rc <= 10) meaning = kMeaning[rc];
    if (rc == kNoAnsiSpelling) return L"the path cannot be spelt in the ANSI code page";
    if (rc == kNoBlock) return L"success reported, but no memory block handed over";
    return format(L"%d (%ls)", rc, meaning);
}

void say(const std::wstring& s) { out().text(s); }

int fail(Exit code, const std::wstring& message) {
    err().text(L"spihost: " + message + L"\n");
    return code;
}

int missing(const Plugin& plugin, Entry e) {
    return fail(kExitHost, format(L"the plug-in exports no %ls", plugin.name(e)));
}

int usage_error(const std::wstring& message) { return fail(kExitUsage, message + L" (see spihost --help)"); }

// A crash inside the plug-in ends the run with a report instead of a
// debugger or a hang.
LONG WINAPI on_crash(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    wchar_t where[MAX_PATH] = L"an unknown module";
    HMODULE m = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(r->ExceptionAddress), &m))
        GetModuleFileNameW(m, where, MAX_PATH);
    err().text(format(L"spihost: plug-in crashed (exception 0x%08lX at %p in %ls)\n",
                      static_cast<unsigned long>(r->ExceptionCode), r->ExceptionAddress, where));
    ExitProcess(kExitCrash);
}

std::wstring system_message(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring s = n ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ' || s.back() == L'.'))
        s.pop_back();
    // Messages meant for inserts name "%1": here it is always the file at hand.
    for (size_t at; (at = s.find(L"%1")) != std::wstring::npos;) s.replace(at, 2, L"the file");
    return format(L"%ls (error %lu)", s.empty() ? L"system error" : s.c_str(), static_cast<unsigned long>(code));
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buf[32768];
    DWORD n = GetFullPathNameW(path.c_str(), 32768, buf, nullptr);
    return n > 0 && n < 32768 ? std::wstring(buf, n) : path;
}

std::wstring join(const std::wstring& dir, const std::wstring& name) {
    if (dir.empty() || dir.back() == L'\\' || dir.back() == L'/') return dir + name;
    return dir + L"\\" + name;
}

std::wstring grouped(unsigned long long n) {
    std::wstring digits = std::to_wstring(n), s;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) s.push_back(L',');
        s.push_back(digits[i]);
    }
    return s;
}

std::wstring padded_left(const std::wstring& s, size_t width) {
    return s.size() < width ? std::wstring(width - s.size(), L' ') + s : s;
}

std::wstring padded_right(const std::wstring& s, size_t width) {
    return s.size() < width ? s + std::wstring(width - s.size(), L' ') : s;
}

// The record's timestamp (seconds since 1970, UTC) as a calendar time.
std::wstring date_of(intptr_t timestamp, bool utc) {
    if (timestamp == 0) return L"-";
    long long ticks = static_cast<long long>(timestamp) * 10000000LL + 116444736000000000LL;
    FILETIME ft = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME t, local;
    if (ticks < 0 || !FileTimeToSystemTime(&ft, &t)) return L"?";
    if (!utc && SystemTimeToTzSpecificLocalTime(nullptr, &t, &local)) t = local;
    return format(L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The name a viewer would show: the record's path, then its file name.
std::wstring display_name(const Member& m) {
    if (m.path.empty()) return m.filename;
    wchar_t last = m.path.back();
    return last == L'\\' || last == L'/' ? m.path + m.filename : m.path + L"\\" + m.filename;
}

// Names Windows keeps for devices, with or without an extension: a file
// opened under one of them is the device.
bool is_device_name(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"};
    for (const wchar_t* d : kDevices)
        if (_wcsicmp(base.c_str(), d) == 0) return true;
    return base.size() == 4 && (_wcsnicmp(base.c_str(), L"COM", 3) == 0 || _wcsnicmp(base.c_str(), L"LPT", 3) == 0) &&
           wcschr(L"0123456789\u00B9\u00B2\u00B3", base[3]);
}

// A name as one safe component of a path: no separators, no characters
// Windows refuses, no device, nothing that climbs out of the output folder.
std::wstring safe_component(std::wstring s) {
    for (wchar_t& c : s)
        if (c < 0x20 || wcschr(L"<>:\"/\\|?*", c)) c = L'_';
    while (!s.empty() && (s.back() == L'.' || s.back() == L' ')) s.pop_back();
    return is_device_name(s) ? L"_" + s : s;
}

// A name as the file it is written to: safe, and never empty.
std::wstring file_name(const std::wstring& given) {
    std::wstring name = safe_component(given);
    return name.empty() ? L"_" : name;
}

// The parts of a path, the empty ones left out.
std::vector<std::wstring> components(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != L'\\' && path[i] != L'/') continue;
        if (i > start) parts.push_back(path.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

// The length of a full path's root, which is there to be used, not made:
// "C:\", "\\?\C:\", "\\?\UNC\server\share\" or "\\server\share\".
size_t root_length(const std::wstring& path) {
    size_t at = 0, parts = 1;
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) {
        at = 4;
        if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) {
            at = 8;
            parts = 2;
        }
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        at = 2;
        parts = 2;
    }
    for (; parts && at < path.size(); --parts) {
        size_t end = path.find(L'\\', at);
        at = end == std::wstring::npos ? path.size() : end + 1;
    }
    return at;
}

// A full path as the file functions take it at any length: from 248
// characters on (the most a folder may have otherwise) in the \\?\ form.
std::wstring long_form(const std::wstring& path) {
    if (path.size() < 248 || path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

bool make_folders(const std::wstring& path) {
    size_t root = root_length(path);
    for (size_t i = root + 1; i <= path.size(); ++i) {
        if ((i < path.size() && path[i] != L'\\') || path[i - 1] == L'\\') continue;
        if (!CreateDirectoryW(long_form(path.substr(0, i)).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    DWORD a = GetFileAttributesW(long_form(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

class File {
public:
    explicit File(HANDLE h) : h_(h) {}
    ~File() {
        if (valid()) CloseHandle(h_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// A new file: one that is there already is left as it is.
bool write_file(const std::wstring& path, const char* data, size_t size, DWORD& error) {
    File f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = GetLastError();
    if (!f.valid()) return false;
    while (size) {
        DWORD put = 0;
        DWORD chunk = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        if (!WriteFile(f.get(), data, chunk, &put, nullptr) || put == 0) {
            error = GetLastError();
            return false;
        }
        data += put;
        size -= put;
    }
    return true;
}

long long file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(long_form(path).c_str(), GetFileExInfoStandard, &a)) return -1;
    return (static_cast<long long>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, rate;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&rate);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(rate.QuadPart);
}

// The machine a Windows module is built for, or 0 when the file is none.
WORD pe_machine(const std::wstring& path) {
    File f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    IMAGE_DOS_HEADER dos;
    DWORD got = 0;
    if (!f.valid() || !ReadFile(f.get(), &dos, sizeof dos, &got, nullptr) || got != sizeof dos ||
        dos.e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER file;
    } nt;
    if (SetFilePointer(f.get(), dos.e_lfanew, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(f.get(), &nt, sizeof nt, &got, nullptr) || got != sizeof nt || nt.signature != IMAGE_NT_SIGNATURE)
        return 0;
    return nt.file.Machine;
}

struct Options {
    bool ansi = false;
    bool utc = false;
    bool to_stdout = false;
    bool file_output = false;
    bool has_out = false;
    std::wstring out_dir;
    std::vector<std::wstring> words;  // the command and its operands
};

// The bytes of a member, by memory output, cut to the record's size.
int fetch(const Plugin& plugin, const std::wstring& archive, const Member& m, std::string& bytes) {
    int rc = plugin.get_to_memory(archive, m.position, bytes);
    if (rc != 0) return rc;
    if (bytes.size() < m.filesize)
        err().text(format(L"spihost: warning: the block for %ls holds %ls bytes, the record says %ls\n",
                          display_name(m).c_str(), grouped(bytes.size()).c_str(), grouped(m.filesize).c_str()));
    else
        bytes.resize(m.filesize);
    return 0;
}

// A name with " (n)" before its extension: "same (2).png", "README (2)".
std::wstring numbered(const std::wstring& name, unsigned n) {
    if (n < 2) return name;
    size_t dot = name.rfind(L'.');
    if (dot == 0 || dot == std::wstring::npos) dot = name.size();
    return name.substr(0, dot) + format(L" (%u)", n) + name.substr(dot);
}

// Makes something at the first free one of name, "name (2)", ... in folder;
// make fails with ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS where something
// came first, so that nothing there is ever replaced.
template <class Make>
bool make_unique(const std::wstring& folder, const std::wstring& name, Make make, std::wstring& made,
                 DWORD& error) {
    error = ERROR_FILE_EXISTS;
    for (unsigned n = 1; n < 10000; ++n) {
        made = join(folder, numbered(name, n));
        if (GetFileAttributesW(long_form(made).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (make(long_form(made), error)) return true;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// Where a member went.
struct Placed {
    std::wstring target;
    long long size = 0;
    bool unsafe = false;     // its name could not be written as it is
    bool numbered = false;   // its name was taken
    bool by_plugin = false;  // the plug-in wrote the file
};

// Why a member is not where its own name would have put it, or nothing.
std::wstring renaming(const Member& m, const Placed& placed, bool file_output) {
    std::wstring why;
    if (placed.unsafe) why += L"; not a name to write as it is";
    if (placed.numbered) why += L"; the name was taken";
    if (file_output && !placed.by_plugin) why += L"; by memory output, as the plug-in writes under the given name";
    if (why.empty()) return why;
    return format(L"position %llu (%ls) written as %ls: %ls\n", static_cast<unsigned long long>(m.position),
                  display_name(m).c_str(), placed.target.c_str(), why.c_str() + 2);
}

// Whether a plug-in may be left to write a file under the record's name: one
// that opens no device, stream or other folder. A '?' may stand for a
// character an ANSI record cannot hold, which the plug-in itself knows.
bool plugin_may_write(const std::wstring& name) {
    for (wchar_t c : name)
        if (c < 0x20 || wcschr(L"<>:\"/\\|*", c)) return false;
    return name.find_first_not_of(L". ") != std::wstring::npos && !is_device_name(name);
}

// The file a plug-in wrote into a folder of its own, or nothing.
std::wstring written_file(const std::wstring& folder) {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(long_form(join(folder, L"*")).c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring name;
    do
        if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) name = d.cFileName;
    while (name.empty() && FindNextFileW(h, &d));
    FindClose(h);
    return name;
}

// Puts a member into folder under its name made safe, never over a file that
// is there; given is the record's name without its folders. The plug-in
// writes under its own idea of the name (an ANSI record may not hold it) and
// refuses a file that exists, so it writes into a fresh folder of its own and
// the file is moved from there; a name it cannot be trusted with comes by
// memory output.
Exit place(const Plugin& plugin, const std::wstring& archive, const Member& m, const std::wstring& folder,
           const std::wstring& given, bool file_output, Placed& placed, std::wstring& problem) {
    DWORD error;
    if (file_output && plugin_may_write(m.filename)) {
        std::wstring scratch;
        auto make_folder = [](const std::wstring& path, DWORD& e) {
            if (CreateDirectoryW(path.c_str(), nullptr)) return true;
            e = GetLastError();
            return false;
        };
        if (!make_unique(folder, L"~spihost", make_folder, scratch, error)) {
            problem = L"cannot make a folder in " + folder + L": " + system_message(error);
            return kExitHost;
        }
        placed.by_plugin = true;
        Exit status = kExitOk;
        int rc = plugin.get_to_folder(archive, m.position, long_form(scratch));
        std::wstring found = rc == 0 ? written_file(scratch) : std::wstring();
        std::wstring name = file_name(found);
        std::wstring written = long_form(join(scratch, found));
        auto move = [&written](const std::wstring& path, DWORD& e) {
            if (MoveFileExW(written.c_str(), path.c_str(), 0)) return true;
            e = GetLastError();
            return false;
        };
        if (rc != 0) {
            problem = format(L"%ls refused it: %ls", plugin.name(kGetFile), describe(rc).c_str());
            status = kExitRefused;
        } else if (found.empty()) {
            problem = L"success reported, but no file was written";
            status = kExitRefused;
        } else if (!make_unique(folder, name, move, placed.target, error)) {
            problem = L"cannot move " + written + L": " + system_message(error);
            status = kExitHost;
        } else {
            placed.size = file_size(placed.target);
            placed.unsafe = name != found;
            placed.numbered = placed.target != join(folder, name);
        }
        if (!RemoveDirectoryW(long_form(scratch).c_str()))
            err().text(L"spihost: warning: " + scratch + L" is left behind, not empty\n");
        return status;
    }
    std::string bytes;
    int rc = fetch(plugin, archive, m, bytes);
    if (rc != 0) {
        problem = format(L"%ls refused it: %ls", plugin.name(kGetFile), describe(rc).c_str());
        return kExitRefused;
    }
    std::wstring name = file_name(given);
    auto write = [&bytes](const std::wstring& path, DWORD& e) {
        return write_file(path, bytes.data(), bytes.size(), e);
    };
    if (!make_unique(folder, name, write, placed.target, error)) {
        problem = L"cannot write " + join(folder, name) + L": " + system_message(error);
        return kExitHost;
    }
    placed.size = static_cast<long long>(bytes.size());
    placed.unsafe = name != given;
    placed.numbered = placed.target != join(folder, name);
    return kExitOk;
}

int listing(const Plugin& plugin, const std::wstring& archive, std::vector<Member>& members) {
    int rc = plugin.archive_info(archive, members);
    if (rc != 0)
        return fail(kExitRefused, format(L"%ls refused %ls: %ls", plugin.name(kArchiveInfo), archive.c_str(),
                                         describe(rc).c_str()));
    return kExitOk;
}

int cmd_info(const Plugin& plugin, const std::wstring& file) {
    if (!plugin.available(kPluginInfo))
        return fail(kExitHost, format(L"%ls exports no %ls: not a Susie plug-in", file.c_str(),
                                      plugin.name(kPluginInfo)));
    static const wchar_t* const kLabels[] = {L"version", L"about", L"filter", L"description"};
    say(format(L"plug-in        %ls\n", file.c_str()));
    say(format(L"calls          %ls entry points\n", plugin.uses_wide(kPluginInfo) ? L"wide (W)" : L"ANSI"));
    // Archive plug-ins may add filter and description pairs after the first.
    for (int n = 0; n < 64; ++n) {
        std::wstring text;
        if (!plugin.info(n, text)) {
            if (n < 4) say(format(L"%2d %-11ls (none)\n", n, kLabels[n]));
            if (n >= 3) break;
            continue;
        }
        const wchar_t* label = n < 4 ? kLabels[n] : (n % 2 == 0 ? L"filter" : L"description");
        if (n == 0 && text == L"00AM") text += L" (archive plug-in)";
        if (n == 0 && text == L"00IN") text += L" (image plug-in: list, get and extract do not apply)";
        say(format(L"%2d %-11ls %ls\n", n, label, text.c_str()));
    }
    say(L"exports\n");
    for (int e = 0; e < kEntries; ++e)
        for (bool wide : {false, true}) {
            Entry entry = static_cast<Entry>(e);
            say(format(L"   %-16ls %ls\n", Plugin::name(entry, wide), plugin.has(entry, wide) ? L"yes" : L"no"));
        }
    return kExitOk;
}

int cmd_setup(const Plugin& plugin, const std::wstring& file, const std::wstring& which) {
    if (!which.empty() && which != L"about") return usage_error(L"setup: the only word after the plug-in is about");
    if (!plugin.has_configuration()) return fail(kExitRefused, file + L" has no ConfigurationDlg");
    int rc = plugin.configure(which.empty() ? 1 : 0);
    if (rc != 0) return fail(kExitRefused, format(L"ConfigurationDlg answered %d", rc));
    return kExitOk;
}

int cmd_check(const Plugin& plugin, const std::vector<std::wstring>& files) {
    if (!plugin.available(kIsSupported)) return missing(plugin, kIsSupported);
    int status = kExitOk;
    for (const std::wstring& given : files) {
        std::wstring file = full_path(given);
        // The viewer reads the head once and shows it to every plug-in.
        char head[2048] = {};
        File f(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD got = 0;
        if (!f.valid() || !ReadFile(f.get(), head, sizeof head, &got, nullptr)) {
            fail(kExitHost, format(L"cannot read %ls: %ls", given.c_str(), system_message(GetLastError()).c_str()));
            status = kExitHost;
            continue;
        }
        int answer = plugin.is_supported(file, head);
        if (answer == kNoAnsiSpelling) {
            fail(kExitHost, format(L"%ls: %ls", given.c_str(), describe(answer).c_str()));
            status = kExitHost;
            continue;
        }
        say(format(L"%-14ls %ls\n", answer ? L"supported" : L"not supported", given.c_str()));
        if (!answer && status == kExitOk) status = kExitRefused;
    }
    return status;
}

int cmd_list(const Plugin& plugin, const std::wstring& archive, bool utc) {
    if (!plugin.available(kArchiveInfo)) return missing(plugin, kArchiveInfo);
    std::vector<Member> members;
    if (int status = listing(plugin, archive, members)) return status;
    size_t width = 8;
    for (const Member& m : members) width = std::max(width, grouped(m.filesize).size());
    say(format(L"%8ls  %ls  %-19ls  %-6ls  %ls\n", L"position", padded_left(L"size", width).c_str(),
               utc ? L"date (UTC)" : L"date (local)", L"method", L"name"));
    unsigned long long total = 0;
    for (const Member& m : members) {
        say(format(L"%8llu  %ls  %-19ls  %-6ls  %ls\n", static_cast<unsigned long long>(m.position),
                   padded_left(grouped(m.filesize), width).c_str(), date_of(m.timestamp, utc).c_str(),
                   utf8_to_wide(m.method).c_str(), display_name(m).c_str()));
        total += m.filesize;
    }
    say(format(L"%zu member%ls, %ls bytes\n", members.size(), members.size() == 1 ? L"" : L"s",
               grouped(total).c_str()));
    return kExitOk;
}

bool is_position(const std::wstring& s) {
    if (s.empty() || s.size() > 19) return false;
    for (wchar_t c : s)
        if (c < L'0' || c > L'9') return false;
    return true;
}

// The member a viewer would ask for: by position from the listing, by name
// through the plug-in's own look-up.
int find_member(const Plugin& plugin, const std::wstring& archive, const std::wstring& which, Member& found) {
    if (!is_position(which)) {
        if (!plugin.available(kFileInfo)) return missing(plugin, kFileInfo);
        int rc = plugin.file_info(archive, which, found);
        if (rc != 0)
            return fail(kExitRefused, format(L"%ls refused %ls in %ls: %ls", plugin.name(kFileInfo), which.c_str(),
                                             archive.c_str(), describe(rc).c_str()));
        return kExitOk;
    }
    if (!plugin.available(kArchiveInfo)) return missing(plugin, kArchiveInfo);
    unsigned long long position = wcstoull(which.c_str(), nullptr, 10);
    std::vector<Member> members;
    if (int status = listing(plugin, archive, members)) return status;
    for (const Member& m : members)
        if (m.position == position) {
            found = m;
            return kExitOk;
        }
    return fail(kExitRefused, format(L"no member at position %llu in %ls (%zu listed)", position, archive.c_str(),
                                     members.size()));
}

int cmd_get(const Plugin& plugin, const std::wstring& archive, const std::wstring& which, const Options& o) {
    if (!plugin.available(kGetFile)) return missing(plugin, kGetFile);
    Member m;
    if (int status = find_member(plugin, archive, which, m)) return status;
    if (o.to_stdout) {
        std::string bytes;
        int rc = fetch(plugin, archive, m, bytes);
        if (rc != 0)
            return fail(kExitRefused, format(L"%ls refused %ls: %ls", plugin.name(kGetFile),
                                             display_name(m).c_str(), describe(rc).c_str()));
        if (!out().bytes(bytes.data(), bytes.size()))
            return fail(kExitHost, L"cannot write to standard output: " + system_message(GetLastError()));
        return kExitOk;
    }
    std::wstring dir = full_path(o.has_out ? o.out_dir : L".");
    if (!make_folders(dir))
        return fail(kExitHost, format(L"cannot make the folder %ls: %ls", dir.c_str(),
                                      system_message(GetLastError()).c_str()));
    std::vector<std::wstring> parts = components(m.filename);
    Placed placed;
    std::wstring problem;
    if (Exit status = place(plugin, archive, m, dir, parts.empty() ? std::wstring() : parts.back(), o.file_output,
                            placed, problem))
        return fail(status, display_name(m) + L": " + problem);
    say(format(L"%ls %ls (%ls bytes)\n", placed.by_plugin ? L"the plug-in wrote" : L"wrote", placed.target.c_str(),
               grouped(placed.size).c_str()));
    say(renaming(m, placed, o.file_output));
    return kExitOk;
}

// One line that the next one overwrites on a console; a line each in a pipe.
class Progress {
public:
    void show(const std::wstring& line) {
        if (!out().is_console()) {
            say(line + L"\n");
            return;
        }
        std::wstring shown = line.size() > 78 ? line.substr(0, 75) + L"..." : line;
        say(L"\r" + padded_right(shown, width_));
        width_ = shown.size();
    }
    void done() {
        if (out().is_console() && width_) say(L"\r" + std::wstring(width_, L' ') + L"\r");
    }

private:
    size_t width_ = 0;
};

int cmd_extract(const Plugin& plugin, const std::wstring& archive, const Options& o) {
    if (!plugin.available(kArchiveInfo)) return missing(plugin, kArchiveInfo);
    if (!plugin.available(kGetFile)) return missing(plugin, kGetFile);
    std::wstring dir = full_path(o.out_dir);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    std::vector<Member> members;
    if (int status = listing(plugin, archive, members)) return status;

    Progress progress;
    size_t done = 0, failed = 0, namesakes = 0, unsafe_names = 0;
    unsigned long long total = 0;
    for (const Member& m : members) {
        progress.show(format(L"[%zu/%zu] %ls bytes so far, fetching %ls", done + failed + 1, members.size(),
                             grouped(total).c_str(), display_name(m).c_str()));
        // Folders as the record names them, inside the output folder whatever the names say.
        std::vector<std::wstring> parts = components(m.path + L"\\" + m.filename);
        std::wstring folder = dir;
        bool unsafe_folder = false;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            std::wstring part = safe_component(parts[i]);
            unsafe_folder |= part != parts[i];
            if (!part.empty()) folder = join(folder, part);
        }
        Placed placed;
        std::wstring problem;
        if (!make_folders(folder))
            problem = L"cannot make " + folder + L": " + system_message(GetLastError());
        else
            place(plugin, archive, m, folder, parts.empty() ? std::wstring() : parts.back(), o.file_output, placed,
                  problem);
        if (problem.empty()) {
            placed.unsafe |= unsafe_folder;
            ++done;
            total += static_cast<unsigned long long>(placed.size);
            namesakes += placed.numbered;
            unsafe_names += placed.unsafe;
            std::wstring why = renaming(m, placed, o.file_output);
            if (!why.empty()) {
                progress.done();
                say(why);
            }
            continue;
        }
        ++failed;
        progress.done();
        fail(kExitRefused, format(L"position %llu (%ls): %ls", static_cast<unsigned long long>(m.position),
                                  display_name(m).c_str(), problem.c_str()));
    }
    progress.done();
    std::wstring renamed;
    if (namesakes) renamed += format(L", %zu renamed as namesake%ls", namesakes, namesakes == 1 ? L"" : L"s");
    if (unsafe_names) renamed += format(L", %zu under a safe name", unsafe_names);
    say(format(L"extracted %zu of %zu member%ls (%ls bytes) into %ls in %.2f s%ls\n", done, members.size(),
               members.size() == 1 ? L"" : L"s", grouped(total).c_str(), dir.c_str(), seconds_since(start),
               renamed.c_str()));
    return failed ? kExitRefused : kExitOk;
}

int run(const Options& o) {
    const std::wstring& command = o.words[0];
    struct Shape {
        const wchar_t* name;
        size_t min_operands, max_operands;
        bool utc, output;
    };
    static const Shape kShapes[] = {
        {L"info", 1, 1, false, false},  {L"check", 2, SIZE_MAX, false, false}, {L"list", 2, 2, true, false},
        {L"get", 3, 3, false, true},    {L"extract", 2, 2, false, true},
        {L"setup", 1, 2, false, false},
    };
    const Shape* shape = nullptr;
    for (const Shape& s : kShapes)
        if (command == s.name) shape = &s;
    if (!shape) return usage_error(L"unknown command " + command);
    size_t operands = o.words.size() - 1;
    if (operands < shape->min_operands) return usage_error(command + L": too few arguments");
    if (operands > shape->max_operands) return usage_error(command + L": too many arguments");
    if (o.utc && !shape->utc) return usage_error(L"--utc is for list");
    if ((o.has_out || o.to_stdout || o.file_output) && !shape->output)
        return usage_error(L"-o, --stdout and --file are for get and extract");
    if (o.to_stdout && (o.has_out || o.file_output)) return usage_error(L"--stdout goes with neither -o nor --file");
    if (command == L"extract" && !o.has_out) return usage_error(L"extract needs -o DIR");
    if (o.file_output && !o.has_out) return usage_error(L"--file needs -o DIR");

    std::wstring file = full_path(o.words[1]);
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail(kExitHost, L"no plug-in at " + file);
    Plugin plugin;
    DWORD error = 0;
    if (!plugin.load(file, o.ansi, error)) {
        std::wstring hint;
        WORD machine = pe_machine(file);
        if (machine == IMAGE_FILE_MACHINE_I386 && sizeof(void*) == 8) hint = L"; a 32-bit plug-in needs spihost32";
        if (machine == IMAGE_FILE_MACHINE_AMD64 && sizeof(void*) == 4) hint = L"; a 64-bit plug-in needs spihost64";
        return fail(kExitHost, L"cannot load " + file + L": " + system_message(error) + hint);
    }

    if (command == L"info") return cmd_info(plugin, file);
    if (command == L"check") return cmd_check(plugin, std::vector<std::wstring>(o.words.begin() + 2, o.words.end()));
    if (command == L"setup") return cmd_setup(plugin, file, o.words.size() > 2 ? o.words[2] : L"");
    std::wstring archive = full_path(o.words[2]);
    if (command == L"list") return cmd_list(plugin, archive, o.utc);
    if (command == L"get") return cmd_get(plugin, archive, o.words[3], o);
    return cmd_extract(plugin, archive, o);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // No error boxes and no debugger: a crash is reported and ends the run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ULONG reserve = 64 * 1024;
    SetThreadStackGuarantee(&reserve);  // room for the report after a stack overflow
    SetUnhandledExceptionFilter(on_crash);

    Options o;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--help" || a == L"-h" || a == L"/?") {
            say(kUsage);
            return kExitOk;
        }
        if (a == L"--ansi") {
            o.ansi = true;
        } else if (a == L"--utc") {
            o.utc = true;
        } else if (a == L"--stdout") {
            o.to_stdout = true;
        } else if (a == L"--file") {
            o.file_output = true;
        } else if (a == L"-o") {
            if (++i == argc) return usage_error(L"-o needs a folder");
            o.has_out = true;
            o.out_dir = argv[i];
        } else if (a.size() > 1 && a[0] == L'-') {
            return usage_error(L"unknown option " + a);
        } else {
            o.words.push_back(a);
        }
    }
    if (o.words.empty()) {
        err().text(kUsage);
        return kExitUsage;
    }
    try {
        return run(o);
    } catch (...) {
        return fail(kExitHost, L"out of memory");
    }
}
