// The Windows side of the benchmark, run under Wine.
//
//   overhead PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...
//     Times IsSupportedW, GetArchiveInfoW and GetFileW (to memory and to a
//     file) against the archiver runs each call makes (test; test + listing;
//     listing + extraction), launched here with the same command lines and
//     the same redirection of standard output. The two sides alternate
//     (AB BA AB ...), so drift of a shared machine falls on both alike.
//   listing SEVENZIP_DIR OUT_CSV REPS CAPTURE_DIR ARCHIVE...
//     Times the archiver's own test and listing runs of each archive, in
//     turn across the archives, and keeps one listing capture of each for
//     the native scan benchmark.
//   fetch-all PLUGIN SEVENZIP_DIR OUT_CSV ARCHIVE...
//     Fetches every member after one GetArchiveInfoW, as a host that shows a
//     whole album does, and makes the same runs directly, the two sides
//     alternating at each step.
//   pages PLUGIN SEVENZIP_DIR OUT_CSV REPS MEASURES ARCHIVE...
//     What a host pays to open an archive and show a page, against the bare
//     7-Zip runs that must be made, alternating as in `overhead`. MEASURES
//     is a comma list of: open (IsSupportedW + GetArchiveInfoW against a test
//     and a listing), page (GetFileW to memory right after a GetArchiveInfoW,
//     against one extraction of the member alone into a fresh folder) and
//     info+page (GetFileInfoW by the member's name, then GetFileW, against
//     the same extraction) and first (IsSupportedW + GetArchiveInfoW +
//     GetFileW of the first member, as a viewer shows an archive, against a
//     bare listing and the bare extraction of that member). The archive's
//     last-write time is moved on before each open and each listing,
//     untimed, so the plug-in meets it as new. The pairs fetch the first,
//     the middle and the last member in turn (first: the first always).
//   batch SEVENZIP_DIR OUT_CSV REPS ARCHIVE...
//     Bare extractions of 0 (the archive opened, nothing extracted), 1, 4
//     and 16 consecutive members in one run, round after round: what one
//     more member costs a run that is made anyway.
//   album PLUGIN SEVENZIP_DIR OUT_CSV ARCHIVE [RUN_LOG REAL_7Z]
//     Fetches every member after one GetArchiveInfoW and times the whole.
//     With RUN_LOG, the plug-in is one whose 7z.exe is the counting stand-in
//     (count_runs.cpp): it is told where to log and where the real 7z.exe
//     is, and the runs logged are counted by their command.
//   passes PLUGIN_ON PLUGIN_OFF SEVENZIP_DIR OUT_CSV REPS ORDERS_ON ORDERS_OFF ARCHIVE...
//     A viewer's whole album: a fresh load of the plug-in, IsSupportedW and
//     GetArchiveInfoW, then GetFileW to memory of every member, in the
//     orders of the comma lists (forward, backward, host: the popular
//     host's, i.e. the middle member, the next, the previous, the rest
//     ahead, the rest behind, and random: a shuffled one; "none" for none);
//     against one bare extraction of the whole archive into a fresh folder,
//     round after round. PLUGIN_ON is measured in ORDERS_ON, PLUGIN_OFF (the
//     same build with reading ahead off, or the same file) in ORDERS_OFF.
//     Each pass notes its first page, its slowest page, which is then
//     extracted alone by a bare run, and the most disk the kept members
//     took (looked at every 8th page, untimed).
//   passes-ansi PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...
//     The same pass the popular 32-bit host's way, in its order: the ANSI
//     IsSupported, GetArchiveInfo and GetFile, the archive by its short 8.3
//     path (a copy in a folder whose long name is not 8.3). Built for i686.
//   paced PLUGIN SEVENZIP_DIR OUT_CSV REPS INTERVAL_MS ARCHIVE...
//     A person paging forward: each page asked INTERVAL_MS after the last
//     was asked (at once if it took longer); the wait of each page.
//   scan PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...
//     A folder scan: IsSupportedW of each archive against a plain run of
//     the plug-in's test command line, alternating which goes first.
//   parts PLUGIN SEVENZIP_DIR OUT_CSV REPS SMALL_ARCHIVE BIG_MEMBER CAPTURE...
//     Times the steps of a call one by one with the plug-in's own code,
//     linked in here: reading the settings, starting a run the plug-in's way
//     against a plain start, reading and scanning a listing capture in both
//     passes, copying the table, and reading, writing and deleting a large
//     member's file (and two other ways to write it: through a reused
//     buffer, or by a rename).
//
// A sample row is written as soon as it is taken, so a run cut short still
// leaves its figures.
#include <windows.h>

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/module.h"
#include "driver/archiver.h"
#include "driver/commands.h"
#include "driver/runner.h"
#include "driver/scanner.h"
#include "plugin/exports.h"

namespace {

[[noreturn]] void fail(const std::wstring& what) {
    fwprintf(stderr, L"overhead_bench: %ls\n", what.c_str());
    fflush(stderr);
    ExitProcess(1);
}

double now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring join(const std::wstring& dir, const std::wstring& name) {
    return dir.empty() || dir.back() == L'\\' ? dir + name : dir + L"\\" + name;
}

std::wstring base_name(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The scratch folder named by RIZAZUR_BENCH_TEMP becomes TMP and TEMP, so
// the plug-in's work folder is the benchmark's own.
std::wstring temp_dir() {
    static std::wstring dir = [] {
        wchar_t given[MAX_PATH];
        DWORD n = GetEnvironmentVariableW(L"RIZAZUR_BENCH_TEMP", given, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) fail(L"set RIZAZUR_BENCH_TEMP to a scratch folder");
        CreateDirectoryW(given, nullptr);
        SetEnvironmentVariableW(L"TMP", given);
        SetEnvironmentVariableW(L"TEMP", given);
        return std::wstring(given);
    }();
    return dir;
}

std::string read_file(const std::wstring& path) {
    // Shared as the plug-in shares its captures: a child may still be closing it.
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) fail(L"cannot read " + path);
    std::string bytes;
    char buffer[1 << 16];
    DWORD got;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(f);
    return bytes;
}

long long file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return -1;
    return (static_cast<long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

// One archiver run as the plug-in makes it: hidden and without a console,
// standard input at its end, standard error closed, standard output in a
// file (or discarded).
void run(const WideString& command_line, const wchar_t* output_path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(output_path ? output_path : L"NUL", GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = nullptr;
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);
    PROCESS_INFORMATION pi;
    // A start can fail for a moment on a machine crowded with other Wine
    // programs; such a pair is an outlier the medians absorb.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si,
                           &pi))
            break;
        DWORD error = GetLastError();
        if (attempt == 5) fail(L"cannot start (error " + std::to_wstring(error) + L") " + command_line);
        fwprintf(stderr, L"overhead_bench: start failed (error %lu), trying again\n", error);
        Sleep(200);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out);
    CloseHandle(in);
    if (code != 0) fail(L"exit code " + std::to_wstring(code) + L" from " + command_line);
}

// A run of two programs joined by a pipe (a compressed tar), started as the
// plug-in starts it; a single one as above.
void run(const ArchiverRun& runs, const wchar_t* output_path) {
    if (runs.second.empty()) return run(runs.first, output_path);
    // The program is the first word of the command line, quoted as every one is.
    std::wstring exe = runs.first.substr(1, runs.first.find(L'"', 1) - 1);
    RunResult r = run_archiver(exe.c_str(), runs, output_path);
    if (!r.succeeded()) fail(L"the pipe failed: " + runs.first + L" | " + runs.second);
}

struct Member {
    std::wstring path;
    long long size;
};

// An archive and the member fetched from it: the last one listed, so that
// the plug-in's scan for it reads the whole listing.
struct Archive {
    std::wstring path;
    std::wstring format;  // the extension
    size_t members = 0;   // the members the plug-in lists
    std::wstring last_path;
    long long last_size = 0;
    std::vector<Member> listed;  // in the plug-in's order
    std::string short_path;      // the 8.3 form a 32-bit host hands the ANSI entry points
    bool tar_pipe = false;       // read as a compressed tar, as the plug-in's default setting says
};

struct Direct {
    explicit Direct(const std::wstring& seven_zip_dir)
        : exe(join(seven_zip_dir, L"7z.exe")), work(join(temp_dir(), L"direct")) {
        CreateDirectoryW(work.c_str(), nullptr);
    }
    std::wstring exe;
    std::wstring work;  // extraction target, apart from the plug-in's
    unsigned serial = 0;

    std::wstring capture() {
        return join(work, L"capture." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(++serial) + L".txt");
    }
    WideString test(const Archive& a) const { return test_command(exe.c_str(), a.path.c_str()); }
    ArchiverRun list(const Archive& a) const { return list_run(exe.c_str(), a.path.c_str(), a.tar_pipe); }
    ArchiverRun extract(const Archive& a) const {
        return extract_run(exe.c_str(), a.path.c_str(), work.c_str(), a.last_path.c_str(), a.tar_pipe);
    }
};

Archive describe(const std::wstring& path, Direct& direct) {
    Archive a;
    a.path = path;
    a.format = path.substr(path.find_last_of(L'.') + 1);
    a.tar_pipe = use_tar_pipe(path.c_str(), L"*.tgz,*.taz");
    std::wstring capture = direct.capture();
    run(direct.list(a), capture.c_str());
    std::string listing = read_file(capture);
    DeleteFileW(capture.c_str());
    MemorySource source{listing.data(), listing.size()};
    PieceReader reader(MemorySource::read, &source);
    const int32_t threshold = size_threshold(64);  // the plug-in's default
    scan_members(reader, [&](const ScannedMember& m) {
        if (!is_kept(m, threshold)) return true;
        ++a.members;
        a.last_path.assign(m.path, m.path_len);
        a.last_size = m.size;
        a.listed.push_back({a.last_path, m.size});
        return true;
    });
    if (a.members == 0) fail(L"no members in " + path);
    return a;
}

struct Plugin {
    explicit Plugin(const std::wstring& file) {
        module = LoadLibraryW(file.c_str());
        if (!module) fail(L"cannot load " + file);
        // The settings the linked-in code reads are those beside the loaded plug-in.
        set_module_handle(module);
        is_supported = reinterpret_cast<IsSupportedWProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "IsSupportedW")));
        archive_info = reinterpret_cast<GetArchiveInfoWProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetArchiveInfoW")));
        get_file = reinterpret_cast<GetFileWProc>(reinterpret_cast<void*>(GetProcAddress(module, "GetFileW")));
        file_info = reinterpret_cast<GetFileInfoWProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetFileInfoW")));
        if (!is_supported || !archive_info || !get_file || !file_info) fail(L"entry points missing in " + file);
    }
    HMODULE module;
    IsSupportedWProc is_supported;
    GetArchiveInfoWProc archive_info;
    GetFileWProc get_file;
    GetFileInfoWProc file_info;
};

// The 2 KB a host reads before asking; an address, so the plug-in reads no handle.
char g_header[2048];

size_t table_length(HLOCAL table) {
    size_t n = 0;
    for (auto* r = static_cast<const fileInfoW*>(table); r->method[0]; ++r) ++n;
    return n;
}

class Csv {
public:
    Csv(const std::wstring& path, const char* header) {
        bool fresh = file_size(path) <= 0;
        f_ = _wfopen(path.c_str(), L"abN");  // not inherited by the runs
        if (!f_) fail(L"cannot write " + path);
        if (fresh) fprintf(f_, "%s\n", header);
    }
    ~Csv() { fclose(f_); }
    void row(const std::string& text) {
        fprintf(f_, "%s\n", text.c_str());
        fflush(f_);
    }

private:
    FILE* f_;
};

// A call that failed: the pair is taken again, and only a call that keeps
// failing ends the run.
std::wstring g_failure;
double failed(const std::wstring& what) {
    g_failure = what;
    return -1;
}

std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::string seconds(double s) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", s);
    return text;
}

// One call against its direct runs: warm-up pairs, then `reps` pairs in
// alternating order, one CSV row each.
template <class PluginSide, class DirectSide>
void compare(Csv& csv, const char* call, const Archive& a, int reps, PluginSide plugin_side,
             DirectSide direct_side) {
    plugin_side();  // warm-up; a failure here shows again in the pairs
    direct_side();
    std::vector<double> p, d;
    for (int r = 0; r < reps; ++r) {
        double tp, td;
        bool plugin_first = r % 2 == 0;
        for (int attempt = 1;; ++attempt) {
            if (plugin_first) {
                tp = plugin_side();
                td = direct_side();
            } else {
                td = direct_side();
                tp = plugin_side();
            }
            if (tp >= 0) break;
            if (attempt == 3) fail(g_failure);
            fwprintf(stderr, L"overhead_bench: %ls; the pair is taken again\n", g_failure.c_str());
        }
        p.push_back(tp);
        d.push_back(td);
        csv.row(std::string(call) + "," + narrow(a.format) + "," + std::to_string(a.members) + "," +
                std::to_string(r) + "," + (plugin_first ? "plugin" : "direct") + "," + seconds(tp) + "," +
                seconds(td));
    }
    std::sort(p.begin(), p.end());
    std::sort(d.begin(), d.end());
    double mp = p[p.size() / 2], md = d[d.size() / 2];
    fprintf(stderr, "  %-22s %-3ls %6zu members: plug-in %8.1f ms, direct %8.1f ms, ratio %.3f\n", call,
            a.format.c_str(), a.members, mp * 1e3, md * 1e3, mp / md);
    fflush(stderr);
}

int overhead(const std::vector<std::wstring>& args) {
    if (args.size() < 5) fail(L"overhead PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...");
    Plugin plugin(args[0]);
    Direct direct(args[1]);
    std::wstring out_dir = join(temp_dir(), L"out");
    CreateDirectoryW(out_dir.c_str(), nullptr);
    Csv csv(args[2], "call,format,members,rep,first,plugin_s,direct_s");
    int reps = _wtoi(args[3].c_str());

    for (size_t k = 4; k < args.size(); ++k) {
        Archive a = describe(args[k], direct);
        const wchar_t* path = a.path.c_str();
        std::wstring extracted = join(direct.work, a.last_path);
        std::wstring written = join(out_dir, base_name(a.last_path));

        auto direct_runs = [&](bool test, bool list, bool extract) {
            std::wstring c1 = direct.capture(), c2 = direct.capture();
            double t0 = now();
            if (test) run(direct.test(a), c1.c_str());
            if (list) run(direct.list(a), c2.c_str());
            if (extract) run(direct.extract(a), nullptr);
            double t = now() - t0;
            DeleteFileW(c1.c_str());
            DeleteFileW(c2.c_str());
            if (extract && (file_size(extracted) != a.last_size || !DeleteFileW(extracted.c_str())))
                fail(L"direct extraction missed " + extracted);
            return t;
        };

        compare(csv, "IsSupportedW", a, reps,
                [&] {
                    double t0 = now();
                    int supported = plugin.is_supported(path, g_header);
                    double t = now() - t0;
                    if (supported != 1) return failed(L"IsSupportedW refused " + a.path);
                    return t;
                },
                [&] { return direct_runs(true, false, false); });

        compare(csv, "GetArchiveInfoW", a, reps,
                [&] {
                    HLOCAL table = nullptr;
                    double t0 = now();
                    int rc = plugin.archive_info(path, 0, 0, &table);
                    double t = now() - t0;
                    bool whole = rc == 0 && table_length(table) == a.members;
                    if (table) LocalFree(table);
                    if (!whole) return failed(L"GetArchiveInfoW failed on " + a.path);
                    return t;
                },
                [&] { return direct_runs(true, true, false); });

        // The last GetArchiveInfoW left the table cached, as a host's listing does.
        LONG_PTR position = static_cast<LONG_PTR>(a.members - 1);
        compare(csv, "GetFileW-memory", a, reps,
                [&] {
                    HLOCAL bytes = nullptr;
                    double t0 = now();
                    int rc = plugin.get_file(path, position, reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0);
                    double t = now() - t0;
                    if (rc != 0 || !bytes || static_cast<long long>(LocalSize(bytes)) < a.last_size)
                        return failed(L"GetFileW to memory failed on " + a.path);
                    LocalFree(bytes);
                    return t;
                },
                [&] { return direct_runs(false, true, true); });

        compare(csv, "GetFileW-file", a, reps,
                [&] {
                    double t0 = now();
                    int rc = plugin.get_file(path, position, &out_dir[0], 0, nullptr, 0);
                    double t = now() - t0;
                    if (rc != 0 || file_size(written) != a.last_size || !DeleteFileW(written.c_str()))
                        return failed(L"GetFileW to a file failed on " + a.path);
                    return t;
                },
                [&] { return direct_runs(false, true, true); });
    }
    return 0;
}

int listing(const std::vector<std::wstring>& args) {
    if (args.size() < 5) fail(L"listing SEVENZIP_DIR OUT_CSV REPS CAPTURE_DIR ARCHIVE...");
    Direct direct(args[0]);
    Csv csv(args[1], "format,members,rep,test_s,listing_s,capture_bytes");
    int reps = _wtoi(args[2].c_str());
    std::wstring keep_dir = args[3];

    std::vector<Archive> archives;
    for (size_t k = 4; k < args.size(); ++k) archives.push_back(describe(args[k], direct));
    for (int r = 0; r < reps; ++r) {
        for (const Archive& a : archives) {
            std::wstring c1 = direct.capture(), c2 = direct.capture();
            double t0 = now();
            run(direct.test(a), c1.c_str());
            double t1 = now();
            run(direct.list(a), c2.c_str());
            double t2 = now();
            long long bytes = file_size(c2);
            std::wstring kept = join(keep_dir, L"listing." + base_name(a.path) + L".txt");
            if (file_size(kept) != bytes) {
                DeleteFileW(kept.c_str());
                MoveFileW(c2.c_str(), kept.c_str());
            }
            DeleteFileW(c1.c_str());
            DeleteFileW(c2.c_str());
            csv.row(narrow(a.format) + "," + std::to_string(a.members) + "," + std::to_string(r) + "," +
                    seconds(t1 - t0) + "," + seconds(t2 - t1) + "," + std::to_string(bytes));
            fprintf(stderr, "  listing %-3ls %6zu members: test %8.1f ms, listing %8.1f ms\n", a.format.c_str(),
                    a.members, (t1 - t0) * 1e3, (t2 - t1) * 1e3);
            fflush(stderr);
        }
    }
    return 0;
}

int fetch_all(const std::vector<std::wstring>& args) {
    if (args.size() < 4) fail(L"fetch-all PLUGIN SEVENZIP_DIR OUT_CSV ARCHIVE...");
    Plugin plugin(args[0]);
    Direct direct(args[1]);
    Csv csv(args[2], "format,members,plugin_s,direct_s");

    for (size_t k = 3; k < args.size(); ++k) {
        Archive a = describe(args[k], direct);
        const wchar_t* path = a.path.c_str();
        // Step by step, the two sides alternating at each step as in `overhead`.
        std::wstring c1 = direct.capture(), c2 = direct.capture();
        double tp = 0, td = 0;
        auto step = [&](size_t number, auto plugin_step, auto direct_step) {
            for (int side = 0; side < 2; ++side) {
                bool plugin_now = (side == 0) == (number % 2 == 0);
                double t0 = now();
                if (plugin_now)
                    plugin_step();
                else
                    direct_step();
                (plugin_now ? tp : td) += now() - t0;
            }
        };
        HLOCAL table = nullptr;
        step(0, [&] {
                if (plugin.archive_info(path, 0, 0, &table) != 0) fail(L"GetArchiveInfoW failed on " + a.path);
            },
            [&] {
                run(direct.test(a), c1.c_str());
                run(direct.list(a), c2.c_str());
            });
        for (size_t i = 0; i < a.members; ++i) {
            step(i + 1,
                 [&] {
                     HLOCAL bytes = nullptr;
                     if (plugin.get_file(path, static_cast<LONG_PTR>(i), reinterpret_cast<LPWSTR>(&bytes), 0x100,
                                         nullptr, 0) != 0)
                         fail(L"GetFileW failed on " + a.path);
                     LocalFree(bytes);
                 },
                 [&] {
                     run(direct.list(a), c2.c_str());
                     run(extract_run(direct.exe.c_str(), path, direct.work.c_str(), a.listed[i].path.c_str(), false)
                             .first,
                         nullptr);
                     DeleteFileW(join(direct.work, a.listed[i].path).c_str());
                 });
        }
        LocalFree(table);
        DeleteFileW(c1.c_str());
        DeleteFileW(c2.c_str());
        csv.row(narrow(a.format) + "," + std::to_string(a.members) + "," + seconds(tp) + "," + seconds(td));
        fprintf(stderr, "  fetch-all %-3ls %6zu members: plug-in %8.2f s, direct %8.2f s\n", a.format.c_str(),
                a.members, tp, td);
        fflush(stderr);
    }
    return 0;
}

// Moves the archive's last-write time on (to now, and at least two seconds
// past the last), so that a plug-in that remembers an unchanged archive
// meets it as a new one.
void touch(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME last, current;
    if (f == INVALID_HANDLE_VALUE || !GetFileTime(f, nullptr, nullptr, &last)) fail(L"cannot touch " + path);
    GetSystemTimeAsFileTime(&current);
    auto ticks = [](FILETIME t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    unsigned long long next = std::max(ticks(current), ticks(last) + 20000000ULL);
    FILETIME t = {static_cast<DWORD>(next), static_cast<DWORD>(next >> 32)};
    if (!SetFileTime(f, nullptr, nullptr, &t)) fail(L"cannot touch " + path);
    CloseHandle(f);
}

// A folder no earlier extraction used, and its removal with what one
// extraction left in it.
std::wstring fresh_folder(Direct& direct) {
    return join(direct.work, L"x" + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++direct.serial));
}

// Deletes the members' files and the folders an extraction made for them;
// with no member, 7-Zip may not have made the folder at all.
void remove_extracted(const std::wstring& folder, const std::vector<const Member*>& members) {
    for (const Member* m : members) {
        std::wstring file = join(folder, m->path);
        if (file_size(file) != m->size || !DeleteFileW(file.c_str())) fail(L"bare extraction missed " + m->path);
    }
    for (const Member* m : members) {
        std::wstring dir = m->path;
        for (size_t slash; (slash = dir.find_last_of(L'\\')) != std::wstring::npos;) {
            dir.resize(slash);
            RemoveDirectoryW(join(folder, dir).c_str());
        }
    }
    if (!RemoveDirectoryW(folder.c_str()) && !members.empty()) fail(L"cannot remove " + folder);
}

// The members a pair fetches, in turn: the first, the middle and the last.
size_t spread(const Archive& a, int rep) {
    size_t at[] = {0, a.members / 2, a.members - 1};
    return at[rep % 3];
}

int pages(const std::vector<std::wstring>& args) {
    if (args.size() < 6) fail(L"pages PLUGIN SEVENZIP_DIR OUT_CSV REPS MEASURES ARCHIVE...");
    Plugin plugin(args[0]);
    Direct direct(args[1]);
    Csv csv(args[2], "measure,archive,format,members,rep,first,member,plugin_s,direct_s");
    int reps = _wtoi(args[3].c_str());
    std::vector<std::wstring> measures;
    for (size_t from = 0, comma; from <= args[4].size(); from = comma + 1) {
        comma = args[4].find(L',', from);
        if (comma == std::wstring::npos) comma = args[4].size();
        measures.push_back(args[4].substr(from, comma - from));
    }

    for (size_t k = 5; k < args.size(); ++k) {
        Archive a = describe(args[k], direct);
        const wchar_t* path = a.path.c_str();

        // The member's bytes, extracted alone by a bare run into a fresh folder.
        auto bare_extraction = [&](size_t i) {
            const Member& m = a.listed[i];
            std::wstring folder = fresh_folder(direct);
            double t0 = now();
            run(extract_run(direct.exe.c_str(), path, folder.c_str(), m.path.c_str(), false).first, nullptr);
            double t = now() - t0;
            remove_extracted(folder, {&m});
            return t;
        };
        // The listing a host asks for before it shows a page, outside the timing.
        auto listed = [&] {
            touch(a.path);
            HLOCAL table = nullptr;
            if (plugin.archive_info(path, 0, 0, &table) != 0 || table_length(table) != a.members)
                fail(L"GetArchiveInfoW failed on " + a.path);
            LocalFree(table);
        };
        auto page = [&](size_t position, size_t i) {
            HLOCAL bytes = nullptr;
            int rc = plugin.get_file(path, static_cast<LONG_PTR>(position), reinterpret_cast<LPWSTR>(&bytes), 0x100,
                                     nullptr, 0);
            bool whole = rc == 0 && bytes && static_cast<long long>(LocalSize(bytes)) >= a.listed[i].size;
            if (bytes) LocalFree(bytes);
            return whole;
        };

        for (const std::wstring& measure : measures) {
            std::function<double(size_t)> plugin_side, direct_side = bare_extraction;
            if (measure == L"open") {
                plugin_side = [&](size_t) {
                    touch(a.path);
                    HLOCAL table = nullptr;
                    double t0 = now();
                    int supported = plugin.is_supported(path, g_header);
                    int rc = plugin.archive_info(path, 0, 0, &table);
                    double t = now() - t0;
                    bool whole = supported == 1 && rc == 0 && table_length(table) == a.members;
                    if (table) LocalFree(table);
                    return whole ? t : failed(L"IsSupportedW + GetArchiveInfoW failed on " + a.path);
                };
                direct_side = [&](size_t) {
                    std::wstring c1 = direct.capture(), c2 = direct.capture();
                    double t0 = now();
                    run(direct.test(a), c1.c_str());
                    run(direct.list(a), c2.c_str());
                    double t = now() - t0;
                    DeleteFileW(c1.c_str());
                    DeleteFileW(c2.c_str());
                    return t;
                };
            } else if (measure == L"page") {
                plugin_side = [&](size_t i) {
                    listed();
                    double t0 = now();
                    bool ok = page(i, i);
                    double t = now() - t0;
                    return ok ? t : failed(L"GetFileW failed on " + a.path);
                };
            } else if (measure == L"first") {
                plugin_side = [&](size_t) {
                    touch(a.path);
                    HLOCAL table = nullptr;
                    double t0 = now();
                    int supported = plugin.is_supported(path, g_header);
                    int rc = plugin.archive_info(path, 0, 0, &table);
                    bool ok = supported == 1 && rc == 0 && table_length(table) == a.members && page(0, 0);
                    double t = now() - t0;
                    if (table) LocalFree(table);
                    return ok ? t : failed(L"opening and the first page failed on " + a.path);
                };
                direct_side = [&](size_t) {
                    std::wstring c = direct.capture();
                    double t0 = now();
                    run(direct.list(a), c.c_str());
                    double t = now() - t0;
                    DeleteFileW(c.c_str());
                    return t + bare_extraction(0);
                };
            } else if (measure == L"info+page") {
                plugin_side = [&](size_t i) {
                    listed();
                    fileInfoW info = {};
                    std::wstring name = base_name(a.listed[i].path);
                    double t0 = now();
                    int rc = plugin.file_info(path, 0, name.c_str(), 0, &info);
                    bool ok = rc == 0 && page(info.position, i);
                    double t = now() - t0;
                    return ok ? t : failed(L"GetFileInfoW + GetFileW failed on " + a.path);
                };
            } else {
                fail(L"unknown measure " + measure);
            }

            plugin_side(a.members / 2);  // warm-up; a failure here shows again in the pairs
            direct_side(a.members / 2);
            std::vector<double> p, d;
            for (int r = 0; r < reps; ++r) {
                size_t i = measure == L"first" ? 0 : spread(a, r);
                bool plugin_first = r % 2 == 0;
                double tp, td;
                for (int attempt = 1;; ++attempt) {
                    if (plugin_first) {
                        tp = plugin_side(i);
                        td = direct_side(i);
                    } else {
                        td = direct_side(i);
                        tp = plugin_side(i);
                    }
                    if (tp >= 0) break;
                    if (attempt == 3) fail(g_failure);
                    fwprintf(stderr, L"overhead_bench: %ls; the pair is taken again\n", g_failure.c_str());
                }
                p.push_back(tp);
                d.push_back(td);
                csv.row(narrow(measure) + "," + narrow(base_name(a.path)) + "," + narrow(a.format) + "," +
                        std::to_string(a.members) + "," + std::to_string(r) + "," +
                        (plugin_first ? "plugin" : "direct") + "," + std::to_string(i) + "," + seconds(tp) + "," +
                        seconds(td));
            }
            std::sort(p.begin(), p.end());
            std::sort(d.begin(), d.end());
            double mp = p[p.size() / 2], md = d[d.size() / 2];
            fprintf(stderr, "  %-9ls %-16ls %6zu members: plug-in %8.1f ms, bare %8.1f ms, ratio %.3f\n",
                    measure.c_str(), base_name(a.path).c_str(), a.members, mp * 1e3, md * 1e3, mp / md);
            fflush(stderr);
        }
    }
    return 0;
}

int batch(const std::vector<std::wstring>& args) {
    if (args.size() < 4) fail(L"batch SEVENZIP_DIR OUT_CSV REPS ARCHIVE...");
    Direct direct(args[0]);
    Csv csv(args[1], "archive,format,members,rep,start,count,seconds");
    int reps = _wtoi(args[2].c_str());
    std::vector<Archive> archives;
    for (size_t k = 3; k < args.size(); ++k) archives.push_back(describe(args[k], direct));
    const size_t counts[] = {0, 1, 4, 16};
    const size_t kinds = sizeof counts / sizeof counts[0];

    for (int r = 0; r < reps; ++r) {
        for (const Archive& a : archives) {
            size_t start = spread(a, r);
            for (size_t j = 0; j < kinds; ++j) {
                // Each round in another order, so that no count always follows the same one.
                size_t count = std::min(counts[(j + static_cast<size_t>(r)) % kinds], a.members);
                size_t from = std::min(start, a.members - std::max<size_t>(count, 1));
                std::wstring folder = fresh_folder(direct);
                WideString line = extract_run(direct.exe.c_str(), a.path.c_str(), folder.c_str(),
                                                  count ? a.listed[from].path.c_str() : L"no such member", false).first;
                for (size_t i = from + 1; i < from + count; ++i) line += L" -i!\"" + a.listed[i].path + L"\"";
                double t0 = now();
                run(line, nullptr);
                double t = now() - t0;
                std::vector<const Member*> extracted;
                for (size_t i = from; i < from + count; ++i) extracted.push_back(&a.listed[i]);
                remove_extracted(folder, extracted);
                csv.row(narrow(base_name(a.path)) + "," + narrow(a.format) + "," + std::to_string(a.members) + "," +
                        std::to_string(r) + "," + std::to_string(from) + "," + std::to_string(count) + "," +
                        seconds(t));
            }
        }
        fprintf(stderr, "  batch: round %d of %d\n", r + 1, reps);
        fflush(stderr);
    }
    return 0;
}

// The runs logged by the counting stand-in for 7z.exe, by the command's verb.
struct RunCount {
    size_t all = 0, test = 0, list = 0, extract = 0;
};

RunCount count_runs(const std::wstring& log) {
    RunCount c;
    std::string text = read_file(log);
    for (size_t from = 0, end; from < text.size(); from = end + 1) {
        end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        size_t verb = line.find_first_not_of(' ');
        if (verb == std::string::npos) continue;
        ++c.all;
        switch (line[verb]) {
            case 't': ++c.test; break;
            case 'l': ++c.list; break;
            case 'x': ++c.extract; break;
        }
    }
    return c;
}

int album(const std::vector<std::wstring>& args) {
    if (args.size() != 4 && args.size() != 6)
        fail(L"album PLUGIN SEVENZIP_DIR OUT_CSV ARCHIVE [RUN_LOG REAL_7Z]");
    Plugin plugin(args[0]);
    Direct direct(args[1]);
    Csv csv(args[2], "archive,format,members,counted,info_s,pages_s,retried,runs,test_runs,list_runs,extract_runs");
    Archive a = describe(args[3], direct);
    const wchar_t* path = a.path.c_str();
    bool counted = args.size() == 6;
    if (counted) {
        DeleteFileW(args[4].c_str());
        SetEnvironmentVariableW(L"RIZAZUR_BENCH_RUN_LOG", args[4].c_str());
        SetEnvironmentVariableW(L"RIZAZUR_BENCH_REAL_7Z", args[5].c_str());
    }
    touch(a.path);

    HLOCAL table = nullptr;
    double t0 = now();
    if (plugin.archive_info(path, 0, 0, &table) != 0 || table_length(table) != a.members)
        fail(L"GetArchiveInfoW failed on " + a.path);
    double t1 = now();
    // A run that cannot start for a moment on a crowded machine fails its
    // GetFileW; the call is made again, and counted, rather than the album lost.
    size_t retried = 0;
    for (size_t i = 0; i < a.members; ++i) {
        for (int attempt = 1;; ++attempt) {
            HLOCAL bytes = nullptr;
            int rc = plugin.get_file(path, static_cast<LONG_PTR>(i), reinterpret_cast<LPWSTR>(&bytes), 0x100,
                                     nullptr, 0);
            bool whole = rc == 0 && bytes && static_cast<long long>(LocalSize(bytes)) >= a.listed[i].size;
            if (bytes) LocalFree(bytes);
            if (whole) break;
            std::wstring what = L"GetFileW answered " + std::to_wstring(rc) + L" on member " + std::to_wstring(i) +
                                L" of " + a.path;
            if (attempt == 3) fail(what);
            fwprintf(stderr, L"overhead_bench: %ls; the call is made again\n", what.c_str());
            ++retried;
        }
        if ((i + 1) % 500 == 0) {
            fprintf(stderr, "  album: %zu of %zu members, %.0f s\n", i + 1, a.members, now() - t1);
            fflush(stderr);
        }
    }
    double t2 = now();
    LocalFree(table);
    RunCount c = counted ? count_runs(args[4]) : RunCount{};
    auto n = [&](size_t v) { return counted ? std::to_string(v) : std::string(); };
    csv.row(narrow(base_name(a.path)) + "," + narrow(a.format) + "," + std::to_string(a.members) + "," +
            (counted ? "1" : "0") + "," + seconds(t1 - t0) + "," + seconds(t2 - t1) + "," + std::to_string(retried) +
            "," + n(c.all) + "," +
            n(c.test) + "," + n(c.list) + "," + n(c.extract));
    fprintf(stderr, "  album %ls, %zu members%s: GetArchiveInfoW %.2f s, every GetFileW %.1f s",
            base_name(a.path).c_str(), a.members, counted ? " (runs counted)" : "", t1 - t0, t2 - t1);
    if (counted)
        fprintf(stderr, ", %zu runs (%zu tests, %zu listings, %zu extractions)", c.all, c.test, c.list, c.extract);
    fprintf(stderr, "\n");
    fflush(stderr);
    return 0;
}


// The bytes of every file below a folder whose name starts with prefix.
unsigned long long bytes_below(const std::wstring& folder, const wchar_t* prefix) {
    unsigned long long total = 0;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(join(folder, L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || name.rfind(prefix, 0) != 0) continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            total += bytes_below(join(folder, name), L"");
        else
            total += (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return total;
}

void remove_all(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(join(folder, L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring p = join(folder, name);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_all(p);
            else
                DeleteFileW(p.c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

std::vector<size_t> page_order(const std::wstring& order, size_t n) {
    std::vector<size_t> out;
    if (order == L"forward") {
        for (size_t i = 0; i < n; ++i) out.push_back(i);
    } else if (order == L"backward") {
        for (size_t i = n; i-- > 0;) out.push_back(i);
    } else if (order == L"host") {
        size_t c = n / 2;
        out.push_back(c);
        if (c + 1 < n) out.push_back(c + 1);
        if (c > 0) out.push_back(c - 1);
        for (size_t i = c + 2; i < n; ++i) out.push_back(i);
        for (size_t i = c > 0 ? c - 1 : 0; i-- > 0;) out.push_back(i);
    } else if (order == L"random") {
        for (size_t i = 0; i < n; ++i) out.push_back(i);
        std::shuffle(out.begin(), out.end(), std::mt19937(static_cast<unsigned>(n)));
    } else {
        fail(L"unknown order " + order);
    }
    return out;
}

// One bare extraction of the whole archive, as a user would make it.
WideString quoted_command(const std::wstring& exe, const std::wstring& archive, const std::wstring& folder) {
    return L"\"" + exe + L"\" x \"" + archive + L"\" -o\"" + folder + L"\" -aoa";
}

// The items of a comma list; "none" for none.
std::vector<std::wstring> comma_list(const std::wstring& text) {
    std::vector<std::wstring> out;
    for (size_t from = 0, comma; from <= text.size(); from = comma + 1) {
        comma = text.find(L',', from);
        if (comma == std::wstring::npos) comma = text.size();
        std::wstring item = text.substr(from, comma - from);
        if (item != L"none" && !item.empty()) out.push_back(item);
    }
    return out;
}

// The road of a 64-bit host: a fresh load of the plug-in and its wide entry points.
struct WideRoad {
    explicit WideRoad(const std::wstring& file) : module(LoadLibraryW(file.c_str())) {
        if (!module) fail(L"cannot load " + file);
        is_supported = reinterpret_cast<IsSupportedWProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "IsSupportedW")));
        archive_info = reinterpret_cast<GetArchiveInfoWProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetArchiveInfoW")));
        get_file = reinterpret_cast<GetFileWProc>(reinterpret_cast<void*>(GetProcAddress(module, "GetFileW")));
        if (!is_supported || !archive_info || !get_file) fail(L"wide entry points missing in " + file);
    }
    WideRoad(const WideRoad&) = delete;
    WideRoad& operator=(const WideRoad&) = delete;
    ~WideRoad() { FreeLibrary(module); }

    // What went wrong, or nothing.
    std::wstring open(const Archive& a) {
        if (is_supported(a.path.c_str(), g_header) != 1) return L"IsSupportedW refused it";
        HLOCAL table = nullptr;
        int rc = archive_info(a.path.c_str(), 0, 0, &table);
        size_t n = rc == 0 ? table_length(table) : 0;
        if (table) LocalFree(table);
        if (rc != 0) return L"GetArchiveInfoW answered " + std::to_wstring(rc);
        return n == a.members ? L"" : L"GetArchiveInfoW listed " + std::to_wstring(n) + L" members";
    }
    int page(const Archive& a, size_t i) {
        HLOCAL bytes = nullptr;
        int rc = get_file(a.path.c_str(), static_cast<LONG_PTR>(i), reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0);
        bool whole = rc == 0 && bytes && static_cast<long long>(LocalSize(bytes)) == a.listed[i].size;
        if (bytes) LocalFree(bytes);
        return whole ? 0 : rc == 0 ? -1 : rc;
    }

    HMODULE module;
    IsSupportedWProc is_supported;
    GetArchiveInfoWProc archive_info;
    GetFileWProc get_file;
};

// The popular 32-bit host's road: the ANSI entry points, declared as it
// declares them, and the archive by its short 8.3 path.
typedef int(WINAPI* HostIsSupported)(LPCSTR filename, void* dw);
typedef int(WINAPI* HostGetArchiveInfo)(LPCSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf);
typedef int(WINAPI* HostGetFile)(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned int flag, FARPROC progress,
                                 LONG_PTR data);

#pragma pack(push, 1)
struct HostFileInfo {
    unsigned char method[8];
    ULONG_PTR position;
    ULONG_PTR compsize;
    ULONG_PTR filesize;
    LONG_PTR timestamp;
    char path[200];
    char filename[200];
    DWORD crc;
#ifdef _WIN64
    unsigned char padding[4];
#endif
};
#pragma pack(pop)

struct AnsiRoad {
    explicit AnsiRoad(const std::wstring& file) : module(LoadLibraryW(file.c_str())) {
        if (!module) fail(L"cannot load " + file);
        is_supported = reinterpret_cast<HostIsSupported>(reinterpret_cast<void*>(GetProcAddress(module, "IsSupported")));
        archive_info = reinterpret_cast<HostGetArchiveInfo>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetArchiveInfo")));
        get_file = reinterpret_cast<HostGetFile>(reinterpret_cast<void*>(GetProcAddress(module, "GetFile")));
        if (!is_supported || !archive_info || !get_file) fail(L"ANSI entry points missing in " + file);
    }
    AnsiRoad(const AnsiRoad&) = delete;
    AnsiRoad& operator=(const AnsiRoad&) = delete;
    ~AnsiRoad() { FreeLibrary(module); }

    std::wstring open(const Archive& a) {
        if (is_supported(a.short_path.c_str(), g_header) != 1) return L"IsSupported refused it";
        HLOCAL table = nullptr;
        int rc = archive_info(a.short_path.c_str(), 0, 0, &table);
        size_t n = 0;
        if (rc == 0)
            for (auto* r = static_cast<const HostFileInfo*>(table); r->method[0]; ++r) ++n;
        if (table) LocalFree(table);
        if (rc != 0) return L"GetArchiveInfo answered " + std::to_wstring(rc);
        return n == a.members ? L"" : L"GetArchiveInfo listed " + std::to_wstring(n) + L" members";
    }
    int page(const Archive& a, size_t i) {
        HLOCAL bytes = nullptr;
        int rc = get_file(a.short_path.c_str(), static_cast<LONG_PTR>(i), reinterpret_cast<LPSTR>(&bytes), 0x100,
                          nullptr, 0);
        bool whole = rc == 0 && bytes && static_cast<long long>(LocalSize(bytes)) == a.listed[i].size;
        if (bytes) LocalFree(bytes);
        return whole ? 0 : rc == 0 ? -1 : rc;
    }

    HMODULE module;
    HostIsSupported is_supported;
    HostGetArchiveInfo archive_info;
    HostGetFile get_file;
};

const char kPassHeader[] = "archive,format,members,rep,side,order,open_s,pages_s,total_s,slowest_s,slowest_at,"
                           "bare_one_s,peak_kept_bytes,unload_s,first_s";

void pass_row(Csv& csv, const Archive& a, int r, const char* side, const std::wstring& order, double open,
              double pages_s, double slowest, size_t slowest_at, double bare_one, unsigned long long peak,
              double unload, double first) {
    csv.row(narrow(base_name(a.path)) + "," + narrow(a.format) + "," + std::to_string(a.members) + "," +
            std::to_string(r) + "," + side + "," + narrow(order) + "," + seconds(open) + "," + seconds(pages_s) + "," +
            seconds(open + pages_s) + "," + seconds(slowest) + "," + std::to_string(slowest_at) + "," +
            seconds(bare_one) + "," + std::to_string(peak) + "," + seconds(unload) + "," + seconds(first));
}

// One bare extraction of member i alone into a fresh folder.
double bare_one(Direct& direct, const Archive& a, size_t i) {
    const Member& m = a.listed[i];
    std::wstring folder = fresh_folder(direct);
    double t0 = now();
    run(extract_run(direct.exe.c_str(), a.path.c_str(), folder.c_str(), m.path.c_str(), a.tar_pipe), nullptr);
    double t = now() - t0;
    remove_extracted(folder, {&m});
    return t;
}

// One bare extraction of the whole archive, the yardstick of the passes of its round.
void bare_whole(Csv& csv, Direct& direct, const Archive& a, int r) {
    std::wstring folder = fresh_folder(direct);
    double t0 = now();
    if (a.tar_pipe)
        run(extract_run(direct.exe.c_str(), a.path.c_str(), folder.c_str(), std::vector<WideString>{}, true), nullptr);
    else
        run(quoted_command(direct.exe, a.path, folder), nullptr);
    double whole = now() - t0;
    remove_all(folder);
    pass_row(csv, a, r, "bare", L"whole", 0, whole, 0, 0, 0, 0, 0, 0);
    fprintf(stderr, "  %-16ls bare whole: %.2f s\n", base_name(a.path).c_str(), whole);
}

// A whole album by one road: a fresh load of the plug-in, the open, then
// every member to memory in the order given.
template <class Road>
void pass(Csv& csv, Direct& direct, const std::wstring& plugin_file, const Archive& a, int r, const char* side,
          const std::wstring& order) {
    const std::wstring kept_in = join(temp_dir(), L"rizazur");
    std::vector<size_t> positions = page_order(order, a.members);
    double t0 = now();
    double open, pages_s = 0, slowest = 0, first = 0, unload;
    size_t slowest_at = 0, n = 0;
    unsigned long long peak = 0;
    {
        Road road(plugin_file);
        std::wstring failure = road.open(a);
        if (!failure.empty()) fail(failure + L": " + a.path);
        open = now() - t0;
        for (size_t i : positions) {
            double p0 = now();
            int rc = road.page(a, i);
            double t = now() - p0;
            if (rc != 0) fail(L"GetFile answered " + std::to_wstring(rc) + L" on member " + std::to_wstring(i));
            if (n == 0) first = t;
            pages_s += t;
            if (t > slowest) {
                slowest = t;
                slowest_at = i;
            }
            if (++n % 8 == 0 || n == positions.size()) peak = std::max(peak, bytes_below(kept_in, L"k."));
        }
        t0 = now();
    }
    unload = now() - t0;
    pass_row(csv, a, r, side, order, open, pages_s, slowest, slowest_at, bare_one(direct, a, slowest_at), peak, unload,
             first);
    fprintf(stderr,
            "  %-16ls %-4s %-8ls: open %.2f s, first page %.0f ms, pages %.2f s, slowest %.0f ms (member %zu), "
            "kept %.1f MB\n",
            base_name(a.path).c_str(), side, order.c_str(), open, first * 1e3, pages_s, slowest * 1e3, slowest_at,
            peak / 1048576.0);
    fflush(stderr);
}

int passes(const std::vector<std::wstring>& args) {
    if (args.size() < 8)
        fail(L"passes PLUGIN_ON PLUGIN_OFF SEVENZIP_DIR OUT_CSV REPS ORDERS_ON ORDERS_OFF ARCHIVE...");
    Direct direct(args[2]);
    Csv csv(args[3], kPassHeader);
    int reps = _wtoi(args[4].c_str());
    std::vector<std::wstring> on_orders = comma_list(args[5]), off_orders = comma_list(args[6]);
    std::vector<Archive> archives;
    for (size_t k = 7; k < args.size(); ++k) archives.push_back(describe(args[k], direct));

    const wchar_t* orders[] = {L"forward", L"backward", L"host", L"random"};
    auto wanted = [](const std::vector<std::wstring>& list, const wchar_t* order) {
        return std::find(list.begin(), list.end(), order) != list.end();
    };
    for (int r = 0; r < reps; ++r) {
        for (const Archive& a : archives) {
            bare_whole(csv, direct, a, r);
            for (const wchar_t* order : orders) {
                if (wanted(on_orders, order)) pass<WideRoad>(csv, direct, args[0], a, r, "on", order);
                if (wanted(off_orders, order)) pass<WideRoad>(csv, direct, args[1], a, r, "off", order);
            }
        }
    }
    return 0;
}

// The popular 32-bit host's passes: each archive copied once into a folder
// whose long name is not 8.3 and handed over by its short path.
int passes_ansi(const std::vector<std::wstring>& args) {
    if (args.size() < 5) fail(L"passes-ansi PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...");
    Direct direct(args[1]);
    Csv csv(args[2], kPassHeader);
    int reps = _wtoi(args[3].c_str());
    const std::wstring long_folder = join(temp_dir(), L"An album folder of a long name");
    CreateDirectoryW(long_folder.c_str(), nullptr);
    std::vector<Archive> archives;
    for (size_t k = 4; k < args.size(); ++k) {
        Archive a = describe(args[k], direct);
        std::wstring copy = join(long_folder, base_name(a.path));
        if (!CopyFileW(a.path.c_str(), copy.c_str(), FALSE)) fail(L"cannot copy " + a.path);
        char short_path[MAX_PATH];
        DWORD n = GetShortPathNameA(narrow(copy).c_str(), short_path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) fail(L"no short path for " + copy);
        a.short_path = short_path;
        // A short form that is the long one would leave the host's road untried.
        if (a.short_path.find(narrow(base_name(long_folder))) != std::string::npos)
            fail(L"the short path of " + copy + L" keeps its long folder name");
        fprintf(stderr, "  %ls by %s\n", base_name(a.path).c_str(), a.short_path.c_str());
        archives.push_back(a);
    }
    for (int r = 0; r < reps; ++r) {
        for (const Archive& a : archives) {
            bare_whole(csv, direct, a, r);
            pass<AnsiRoad>(csv, direct, args[0], a, r, "ansi", L"host");
        }
    }
    return 0;
}

// A person paging: a fresh load, the open, then every member forward, each
// asked on a grid of INTERVAL_MS from the end of the open (right after the
// last when that one took longer).
int paced(const std::vector<std::wstring>& args) {
    if (args.size() < 6) fail(L"paced PLUGIN SEVENZIP_DIR OUT_CSV REPS INTERVAL_MS ARCHIVE...");
    Direct direct(args[1]);
    Csv csv(args[2], "archive,format,members,rep,page,member,open_s,asked_s,wait_s");
    int reps = _wtoi(args[3].c_str());
    double interval = _wtoi(args[4].c_str()) / 1e3;
    std::vector<Archive> archives;
    for (size_t k = 5; k < args.size(); ++k) archives.push_back(describe(args[k], direct));
    for (int r = 0; r < reps; ++r) {
        for (const Archive& a : archives) {
            double t0 = now();
            WideRoad road(args[0]);
            std::wstring failure = road.open(a);
            if (!failure.empty()) fail(failure + L": " + a.path);
            double grid = now(), open = grid - t0;
            std::vector<double> waits;
            for (size_t k = 0; k < a.members; ++k) {
                double due = grid + static_cast<double>(k) * interval;
                for (double left; (left = due - now()) > 0;) Sleep(left > 0.002 ? static_cast<DWORD>(left * 1e3) - 1 : 0);
                double asked = now();
                int rc = road.page(a, k);
                double wait = now() - asked;
                if (rc != 0) fail(L"GetFileW answered " + std::to_wstring(rc) + L" on member " + std::to_wstring(k));
                waits.push_back(wait);
                csv.row(narrow(base_name(a.path)) + "," + narrow(a.format) + "," + std::to_string(a.members) + "," +
                        std::to_string(r) + "," + std::to_string(k) + "," + std::to_string(k) + "," + seconds(open) +
                        "," + seconds(asked - t0) + "," + seconds(wait));
            }
            double first = open + waits[0];
            std::sort(waits.begin() + 1, waits.end());
            fprintf(stderr, "  %-16ls paced: first page %.2f s after the open starts; later pages %.1f ms median, "
                    "%.1f ms at most\n", base_name(a.path).c_str(), first, waits[waits.size() / 2] * 1e3,
                    waits.back() * 1e3);
            fflush(stderr);
        }
    }
    return 0;
}

// A file manager's folder scan: IsSupportedW of each archive, once loaded,
// against the plug-in's own test command line run plainly; the two sides
// alternate which goes first, archive by archive and round by round.
int scan(const std::vector<std::wstring>& args) {
    if (args.size() < 5) fail(L"scan PLUGIN SEVENZIP_DIR OUT_CSV REPS ARCHIVE...");
    Direct direct(args[1]);
    Csv csv(args[2], "rep,archive,first,plugin_s,plain_s");
    int reps = _wtoi(args[3].c_str());
    std::vector<std::wstring> paths(args.begin() + 4, args.end());
    for (int r = 0; r < reps; ++r) {
        // New to the plug-in each round, as a folder met for the first time.
        for (const std::wstring& p : paths) touch(p);
        WideRoad road(args[0]);
        double sum_plugin = 0, sum_plain = 0;
        for (size_t j = 0; j < paths.size(); ++j) {
            const std::wstring& p = paths[j];
            bool plugin_first = (j + static_cast<size_t>(r)) % 2 == 0;
            double tp = 0, td = 0;
            for (int side = 0; side < 2; ++side) {
                if ((side == 0) == plugin_first) {
                    double t0 = now();
                    if (road.is_supported(p.c_str(), g_header) != 1) fail(L"IsSupportedW refused " + p);
                    tp = now() - t0;
                } else {
                    std::wstring c = direct.capture();
                    double t0 = now();
                    run(test_command(direct.exe.c_str(), p.c_str()), c.c_str());
                    td = now() - t0;
                    DeleteFileW(c.c_str());
                }
            }
            sum_plugin += tp;
            sum_plain += td;
            csv.row(std::to_string(r) + "," + narrow(base_name(p)) + "," + (plugin_first ? "plugin" : "plain") + "," +
                    seconds(tp) + "," + seconds(td));
        }
        fprintf(stderr, "  scan of %zu archives: IsSupportedW %.2f s, plain tests %.2f s, ratio %.3f\n", paths.size(),
                sum_plugin, sum_plain, sum_plugin / sum_plain);
        fflush(stderr);
    }
    return 0;
}

// Median of `reps` timings of f, after one untimed call.
template <class F>
double median_time(int reps, F f) {
    f();
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        f();
        t.push_back(now() - t0);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

int parts(const std::vector<std::wstring>& args) {
    if (args.size() < 6) fail(L"parts PLUGIN SEVENZIP_DIR OUT_CSV REPS SMALL_ARCHIVE BIG_MEMBER CAPTURE...");
    Plugin plugin(args[0]);
    Direct direct(args[1]);
    Csv csv(args[2], "part,members,bytes,median_s");
    int reps = _wtoi(args[3].c_str());
    auto report = [&](const std::string& part, size_t members, long long bytes, double t) {
        csv.row(part + "," + std::to_string(members) + "," + std::to_string(bytes) + "," + seconds(t));
        fprintf(stderr, "  %-34s %7zu members %11lld bytes: %9.3f ms\n", part.c_str(), members, bytes, t * 1e3);
        fflush(stderr);
    };

    report("read_settings", 0, 0, median_time(reps, [] { read_settings(); }));
    wchar16 work[kPathChars], capture_file[kPathChars];
    report("work_area_and_capture_name", 0, 0, median_time(reps, [&] {
               ensure_work_area(work);
               capture_path(work, capture_file);
           }));
    {
        Settings st = read_settings();
        wchar16 exe[kPathChars];
        report("archiver_paths_checked", 0, 0, median_time(reps, [&] { find_7zip(st, exe); }));
    }

    // A run the plug-in's way against a plain one, in alternating order.
    {
        Archive a = describe(args[4], direct);
        WideString line = direct.test(a);
        std::vector<double> own, plain, deletes;
        for (int r = 0; r < 2 * reps; ++r) {
            std::wstring c = direct.capture();
            for (int side = 0; side < 2; ++side) {
                bool use_own = (side == 0) == (r % 2 == 0);
                double t0 = now();
                if (use_own) {
                    if (!run_archiver(direct.exe.c_str(), {line, {}}, c.c_str()).started) fail(L"run_archiver failed");
                } else {
                    run(line, c.c_str());
                }
                (use_own ? own : plain).push_back(now() - t0);
            }
            // Removing the capture right after its run, as the plug-in does.
            double t0 = now();
            DeleteFileW(c.c_str());
            deletes.push_back(now() - t0);
        }
        std::sort(own.begin(), own.end());
        std::sort(plain.begin(), plain.end());
        report("test_run_plugin_launch", a.members, 0, own[own.size() / 2]);
        report("test_run_plain_launch", a.members, 0, plain[plain.size() / 2]);
        std::sort(deletes.begin(), deletes.end());
        report("capture_delete_after_run", a.members, 0, deletes[deletes.size() / 2]);
    }

    // A large member's file: read into one block as for memory output,
    // written out as for file output, deleted.
    {
        std::wstring source = args[5];
        long long size = file_size(source);
        std::wstring copy = join(direct.work, L"member.bin");
        std::wstring out = join(direct.work, L"written.bin");
        std::string bytes = read_file(source);
        HANDLE f = CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        CloseHandle(f);
        report("member_read_to_block", 1, size, median_time(reps, [&] {
                   HANDLE h = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
                   void* block = platform::alloc_block(static_cast<size_t>(size));
                   DWORD got = 0;
                   ReadFile(h, block, static_cast<DWORD>(size), &got, nullptr);
                   CloseHandle(h);
                   platform::free_block(block);
               }));
        // The same read into memory already touched: what the fresh pages cost.
        std::string touched(static_cast<size_t>(size), '\1');
        report("member_read_to_touched_memory", 1, size, median_time(reps, [&] {
                   HANDLE h = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
                   DWORD got = 0;
                   ReadFile(h, &touched[0], static_cast<DWORD>(size), &got, nullptr);
                   CloseHandle(h);
               }));
        report("member_write_file", 1, size, median_time(reps, [&] {
                   DeleteFileW(out.c_str());
                   HANDLE h = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr);
                   DWORD n = 0;
                   WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
                   CloseHandle(h);
               }));
        std::vector<double> deletes;
        for (int r = 0; r < reps; ++r) {
            CopyFileW(copy.c_str(), out.c_str(), FALSE);
            double t0 = now();
            DeleteFileW(out.c_str());
            deletes.push_back(now() - t0);
        }
        std::sort(deletes.begin(), deletes.end());
        report("member_delete", 1, size, deletes[deletes.size() / 2]);
        // Two other ways to file output, for comparison: a copy through one
        // reused buffer, and a rename within the volume.
        static char chunk[1 << 20];
        report("member_copy_through_buffer", 1, size, median_time(reps, [&] {
                   DeleteFileW(out.c_str());
                   HANDLE from = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
                   HANDLE to = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
                   DWORD got = 0, n = 0;
                   while (ReadFile(from, chunk, sizeof chunk, &got, nullptr) && got)
                       WriteFile(to, chunk, got, &n, nullptr);
                   CloseHandle(to);
                   CloseHandle(from);
               }));
        std::vector<double> moves;
        for (int r = 0; r < reps; ++r) {
            DeleteFileW(out.c_str());
            std::wstring moved = join(direct.work, L"moved.bin");
            CopyFileW(copy.c_str(), moved.c_str(), FALSE);
            double t0 = now();
            MoveFileExW(moved.c_str(), out.c_str(), 0);
            moves.push_back(now() - t0);
        }
        std::sort(moves.begin(), moves.end());
        report("member_move", 1, size, moves[moves.size() / 2]);
        DeleteFileW(copy.c_str());
        DeleteFileW(out.c_str());
    }

    // Listing captures: the capture read alone, then both passes and the
    // table as list_archive builds them, then the copy handed to the host.
    for (size_t k = 6; k < args.size(); ++k) {
        const std::wstring& file = args[k];
        long long bytes = file_size(file);
        const int32_t threshold = size_threshold(64);
        size_t members = 0;
        {
            Capture c;
            if (!c.open(file.c_str())) fail(L"cannot open " + file);
            members = count_members(c.reader(), threshold);
        }
        int n = bytes > (8 << 20) ? (reps + 2) / 3 : reps;
        report("capture_read", members, bytes, median_time(n, [&] {
                   HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                   static char buffer[1 << 14];
                   DWORD got;
                   while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) continue;
                   CloseHandle(h);
               }));
        report("two_pass_scan_and_table", members, bytes, median_time(n, [&] {
                   size_t count;
                   {
                       Capture c;
                       c.open(file.c_str());
                       count = count_members(c.reader(), threshold);
                   }
                   platform::OwnedBlock block(platform::alloc_block((count + 1) * sizeof(MemberRecord)));
                   Capture c;
                   c.open(file.c_str());
                   fill_members(c.reader(), threshold, 0, static_cast<MemberRecord*>(block.get()), count);
               }));
        platform::OwnedBlock table(platform::alloc_block((members + 1) * sizeof(MemberRecord)));
        {
            Capture c;
            c.open(file.c_str());
            fill_members(c.reader(), threshold, 0, static_cast<MemberRecord*>(table.get()), members);
        }
        size_t table_bytes = (members + 1) * sizeof(MemberRecord);
        report("table_copy", members, static_cast<long long>(table_bytes), median_time(n, [&] {
                   void* copy = platform::alloc_block(table_bytes);
                   memcpy(copy, table.get(), table_bytes);
                   platform::free_block(copy);
               }));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) fail(L"overhead | listing | fetch-all | parts | pages | batch | album | passes | passes-ansi | paced | scan ...");
    std::wstring mode = args[0];
    args.erase(args.begin());
    temp_dir();
    if (mode == L"overhead") return overhead(args);
    if (mode == L"listing") return listing(args);
    if (mode == L"fetch-all") return fetch_all(args);
    if (mode == L"parts") return parts(args);
    if (mode == L"pages") return pages(args);
    if (mode == L"batch") return batch(args);
    if (mode == L"album") return album(args);
    if (mode == L"passes") return passes(args);
    if (mode == L"passes-ansi") return passes_ansi(args);
    if (mode == L"paced") return paced(args);
    if (mode == L"scan") return scan(args);
    fail(L"unknown mode " + mode);
}
