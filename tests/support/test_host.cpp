#include "test_host.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "test_config.h"

namespace {

std::wstring exe_dir() {
    std::wstring path = this_program();
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring scratch_root() {
    static std::wstring root = [] {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring r = join(temp, L"rizazur-tests." + std::to_wstring(GetCurrentProcessId()));
        // Wine hands out process ids again soon, and an earlier process's
        // folder can outlive it (a child's handle held a file at its clean-up).
        remove_tree(r);
        CreateDirectoryW(r.c_str(), nullptr);
        std::wstring own_temp = join(r, L"temp");
        CreateDirectoryW(own_temp.c_str(), nullptr);
        SetEnvironmentVariableW(L"TMP", own_temp.c_str());
        SetEnvironmentVariableW(L"TEMP", own_temp.c_str());
        return r;
    }();
    return root;
}

// Removes the scratch root when the test program ends.
struct ScratchCleanup : ::testing::Environment {
    void TearDown() override { remove_tree(scratch_root()); }
};
const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace

std::wstring this_program() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::wstring join(const std::wstring& dir, const std::wstring& name) {
    if (dir.empty() || dir.back() == L'\\') return dir + name;
    return dir + L"\\" + name;
}

std::wstring fresh_dir(const wchar_t* tag) {
    static int counter = 0;
    std::wstring d = join(scratch_root(), std::wstring(tag) + L"." + std::to_wstring(++counter));
    CreateDirectoryW(d.c_str(), nullptr);
    return d;
}

std::wstring seven_zip_dir() { return RIZAZUR_7Z_DIR; }

std::string read_bytes(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buf[65536];
    DWORD got;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
    CloseHandle(f);
    return out;
}

void write_bytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << utf8(path);
    DWORD put = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(f);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

static void walk(const std::wstring& root, const std::wstring& rel, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(join(join(root, rel), L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring r = rel.empty() ? name : rel + L"\\" + name;
        out.push_back(r);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) walk(root, r, out);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

std::vector<std::wstring> list_tree(const std::wstring& dir) {
    std::vector<std::wstring> out;
    walk(dir, L"", out);
    return out;
}

void remove_tree(const std::wstring& dir) {
    std::vector<std::wstring> items = list_tree(dir);
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        std::wstring p = join(dir, *it);
        SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(p.c_str())) RemoveDirectoryW(p.c_str());
    }
    RemoveDirectoryW(dir.c_str());
}

bool is_kept_ahead(const std::wstring& relative) { return relative.rfind(L"k.", 0) == 0; }

std::vector<std::wstring> work_area_leftovers(bool files_only, bool but_kept) {
    std::vector<std::wstring> left;
    for (int i = 0; i < 200; ++i) {
        if (i) Sleep(50);
        left.clear();
        for (const std::wstring& f : list_tree(work_area()))
            if ((!files_only || !(GetFileAttributesW(join(work_area(), f).c_str()) & FILE_ATTRIBUTE_DIRECTORY)) &&
                (!but_kept || !is_kept_ahead(f)))
                left.push_back(f);
        if (left.empty()) break;
    }
    return left;
}

void expect_work_area_empty(bool files_only, bool but_kept) {
    for (const std::wstring& f : work_area_leftovers(files_only, but_kept)) ADD_FAILURE() << "left in the work folder: " << utf8(f);
}

std::map<std::wstring, std::string> bytes_by_name(const std::vector<Entry>& entries) {
    std::map<std::wstring, std::string> m;
    for (const Entry& e : entries)
        if (!e.bytes.empty()) m[e.path.substr(e.path.find_last_of(L'\\') + 1)] = e.bytes;
    return m;
}

std::string utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring widen(const std::string& u) {
    int n = MultiByteToWideChar(CP_UTF8, 0, u.data(), static_cast<int>(u.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, u.data(), static_cast<int>(u.size()), &w[0], n);
    return w;
}

int run(const std::wstring& command_line, const std::wstring& out_path) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!out_path.empty())
        out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                          CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                            nullptr);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                             0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = in;
    si.hStdOutput = out != INVALID_HANDLE_VALUE ? out : nul;
    si.hStdError = nul;
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);
    PROCESS_INFORMATION pi;
    int code = -1;
    // Under load Wine now and then fails a start that works a moment later.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt) Sleep(50 * attempt);
        started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &si, &pi);
    }
    if (started) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD c = 0;
        GetExitCodeProcess(pi.hProcess, &c);
        code = static_cast<int>(c);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    CloseHandle(in);
    CloseHandle(nul);
    return code;
}

int run_7z(const std::wstring& args, const std::wstring& out_path) {
    return run(L"\"" + join(seven_zip_dir(), L"7z.exe") + L"\" " + args, out_path);
}

std::wstring work_area() { return join(join(scratch_root(), L"temp"), L"rizazur"); }

std::wstring work_prefix(wchar_t kind) {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    wchar_t tag[40];
    wsprintfW(tag, L".%lu.%08lX%08lX.", GetCurrentProcessId(), created.dwHighDateTime, created.dwLowDateTime);
    return kind + std::wstring(tag);
}

std::string pattern_bytes(size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

long long unix_mtime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return -1;
    unsigned long long t = (static_cast<unsigned long long>(d.ftLastWriteTime.dwHighDateTime) << 32) |
                           d.ftLastWriteTime.dwLowDateTime;
    return static_cast<long long>((t - 116444736000000000ull) / 10000000ull);
}

// One 512-byte header.
static std::string tar_header(const std::string& name, size_t size, char type, const std::string& link) {
    char h[512] = {};
    memcpy(h, name.data(), name.size() < 100 ? name.size() : 100);
    snprintf(h + 100, 8, "%07o", type == '5' ? 0755u : 0644u);
    snprintf(h + 108, 8, "%07o", 0u);
    snprintf(h + 116, 8, "%07o", 0u);
    snprintf(h + 124, 12, "%011o", static_cast<unsigned>(size));
    snprintf(h + 136, 12, "%011o", 1700000000u);
    h[156] = type;
    memcpy(h + 157, link.data(), link.size() < 100 ? link.size() : 100);
    memcpy(h + 257, "ustar\0" "00", 8);
    memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    snprintf(h + 148, 8, "%06o", sum);
    return std::string(h, 512);
}

static void append_padded(std::string& tar, const std::string& bytes) {
    tar += bytes;
    tar.append((512 - bytes.size() % 512) % 512, '\0');
}

std::string tar_of(const std::vector<TarEntry>& entries) {
    std::string tar;
    for (const TarEntry& e : entries) {
        char type = e.type ? e.type : !e.name.empty() && e.name.back() == '/' ? '5' : '0';
        // A longer name goes first, in a GNU long-name entry of its own.
        if (e.name.size() >= 100) {
            tar += tar_header("././@LongLink", e.name.size() + 1, 'L', "");
            append_padded(tar, e.name + '\0');
        }
        tar += tar_header(e.name, e.claimed >= 0 ? static_cast<size_t>(e.claimed) : e.bytes.size(), type, e.link);
        append_padded(tar, e.bytes);
    }
    tar.append(1024, '\0');
    return tar;
}

void write_tar(const std::wstring& path, const std::vector<TarEntry>& entries) {
    write_bytes(path, tar_of(entries));
}

std::wstring make_archive(const std::wstring& name, const std::vector<Entry>& entries,
                          const std::string& type, const std::wstring& switches) {
    std::wstring src = fresh_dir(L"src");
    for (const Entry& e : entries) {
        std::wstring p = join(src, e.path);
        for (size_t i = src.size() + 1; i < p.size(); ++i)
            if (p[i] == L'\\') CreateDirectoryW(p.substr(0, i).c_str(), nullptr);
        if (p.back() != L'\\') write_bytes(p, e.bytes);
    }
    std::wstring out = join(fresh_dir(L"archive"), name);
    std::wstring files = L" \"" + join(src, L"*") + L"\"";
    if (type == "tgz" || type == "txz" || type == "tbz") {
        std::wstring tar = join(fresh_dir(L"inner"), L"inner.tar");
        EXPECT_EQ(0, run_7z(L"a -ttar \"" + tar + L"\"" + files + L" " + switches));
        std::wstring outer = type == "tgz" ? L"gzip" : type == "txz" ? L"xz" : L"bzip2";
        EXPECT_EQ(0, run_7z(L"a -t" + outer + L" \"" + out + L"\" \"" + tar + L"\""));
    } else if (type == "gzip") {
        // One file, compressed as a single stream.
        EXPECT_EQ(0, run_7z(L"a -tgzip \"" + out + L"\" \"" + join(src, entries.at(0).path) + L"\""));
    } else {
        EXPECT_EQ(0, run_7z(L"a -t" + widen(type) + L" \"" + out + L"\"" + files + L" " + switches));
    }
    return out;
}

static void write_ini_file(const std::wstring& path, const std::wstring& ini) {
    if (ini.empty()) {
        DeleteFileW(path.c_str());
        return;
    }
    // UTF-16 with a byte-order mark: the profile functions read it as Unicode.
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(ini.data()), ini.size() * sizeof(wchar_t));
    write_bytes(path, bytes);
}

Plugin::Plugin(const std::wstring& ini) {
    dir = fresh_dir(L"plugin");
    std::wstring copy = join(dir, RIZAZUR_PLUGIN_NAME);
    EXPECT_TRUE(CopyFileW(join(exe_dir(), RIZAZUR_PLUGIN_NAME).c_str(), copy.c_str(), FALSE));
    write_ini(ini);
    reload();
}

void Plugin::reload() {
    unload();
    std::wstring copy = join(dir, RIZAZUR_PLUGIN_NAME);
    module = LoadLibraryW(copy.c_str());
    // Nothing below could run without it: end the test here, not in a crash.
    if (!module) throw std::runtime_error("cannot load " + utf8(copy));
#define RIZAZUR_BIND(name) name = reinterpret_cast<name##Proc>(reinterpret_cast<void*>(GetProcAddress(module, #name))); EXPECT_NE(name, nullptr) << #name
    RIZAZUR_BIND(GetPluginInfo);
    RIZAZUR_BIND(GetPluginInfoW);
    RIZAZUR_BIND(IsSupported);
    RIZAZUR_BIND(IsSupportedW);
    RIZAZUR_BIND(GetArchiveInfo);
    RIZAZUR_BIND(GetArchiveInfoW);
    RIZAZUR_BIND(GetFileInfo);
    RIZAZUR_BIND(GetFileInfoW);
    RIZAZUR_BIND(GetFile);
    RIZAZUR_BIND(GetFileW);
    RIZAZUR_BIND(ConfigurationDlg);
#undef RIZAZUR_BIND
}

Plugin::~Plugin() {
    unload();
    remove_tree(dir);
}

void Plugin::unload() {
    if (module) FreeLibrary(module);
    module = nullptr;
}

void Plugin::write_ini(const std::wstring& ini) {
    write_ini_file(join(dir, L"rizazur.ini"), ini);
}

std::wstring ini_with_7zip(const std::wstring& extra) {
    return L"[UserSetting]\r\ndir=" + seven_zip_dir() + L"\r\n" + extra;
}

StandIn::StandIn(const std::string& test_output) {
    dir = fresh_dir(L"standin");
    EXPECT_TRUE(CopyFileW(join(exe_dir(), L"standin7z.exe").c_str(), join(dir, L"7z.exe").c_str(), FALSE));
    write_bytes(join(dir, L"7z.dll"), "stand-in");
    if (!test_output.empty()) set_output("t", test_output);
}

void StandIn::set_output(const std::string& key, const std::string& bytes) {
    write_bytes(join(dir, L"out-" + widen(key) + L".txt"), bytes);
}

std::vector<std::wstring> StandIn::runs() const {
    std::vector<std::wstring> lines;
    std::wstring all = widen(read_bytes(join(dir, L"runs.log")));
    size_t start = 0;
    for (size_t nl; (nl = all.find(L'\n', start)) != std::wstring::npos; start = nl + 1)
        lines.push_back(all.substr(start, nl - start));
    return lines;
}

std::string StandIn::letters() const {
    std::string out;
    for (const std::wstring& r : runs()) {
        size_t exe = r.find(L"7z.exe");
        out += static_cast<char>(r[r.find_first_not_of(L"\" ", exe + 6)]);
    }
    return out;
}

std::string listing_block(const std::string& path, const std::string& size) {
    return "Path = " + path + "\r\nFolder = -\r\nSize = " + size +
           "\r\nPacked Size = 3\r\nModified = 2024-01-02 03:04:05\r\n\r\n";
}

DictatedArchive::DictatedArchive(const std::string& listing) : StandIn("Everything is Ok\r\n") {
    set_output("l", listing);
    archive = join(fresh_dir(L"arc"), L"dictated.zip");
    write_bytes(archive, "0123456789abcdef");
}

void DictatedArchive::member(const std::string& bytes) { write_bytes(join(dir, L"member.bin"), bytes); }

void DictatedArchive::touch() { write_bytes(archive, read_bytes(archive) + "!"); }

void DictatedArchive::member(const std::wstring& name, const std::string& bytes) {
    write_bytes(join(dir, L"member-" + name + L".bin"), bytes);
}

std::vector<fileInfoW> DictatedArchive::list(Plugin& p) { return ::list(p, archive); }

const char kBytes[] = "0123456789";
const char kLonger[] = "0123456789abcdefghij";

Served::Served() : DictatedArchive(listing_block("a.png", "10") + listing_block("d\\b.png", "20")) {
    member(kBytes);
    member(L"b.png", kLonger);
    member(L"caf\u00E9.png", kLonger);
}

Holding::Holding(const StandIn& s, const wchar_t* file) {
    static int n = 0;
    std::string name = "Local\\standin7z." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++n);
    event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    write_bytes(join(s.dir, file), name);
}

Holding::~Holding() {
    SetEvent(event);
    CloseHandle(event);
}

void StandIn::copy_to(const std::wstring& folder) const {
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const std::wstring& f : list_tree(dir))
        EXPECT_TRUE(f == L"runs.log" || CopyFileW(join(dir, f).c_str(), join(folder, f).c_str(), FALSE)) << utf8(f);
}

std::wstring StandIn::ini(const std::wstring& extra) const {
    return L"[UserSetting]\r\ndir=" + dir + L"\r\n" + extra;
}

std::vector<fileInfoW> records_of(HLOCAL table) {
    std::vector<fileInfoW> out;
    for (auto* r = static_cast<const fileInfoW*>(table); r->method[0]; ++r) out.push_back(*r);
    return out;
}

std::vector<fileInfo> ansi_records_of(HLOCAL table) {
    std::vector<fileInfo> out;
    for (auto* r = static_cast<const fileInfo*>(table); r->method[0]; ++r) out.push_back(*r);
    return out;
}

std::string bytes_of(HLOCAL block) { return std::string(static_cast<const char*>(block), LocalSize(block)); }

namespace {

std::string fetch_into_memory(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc, bool ansi) {
    HLOCAL const untouched = reinterpret_cast<HLOCAL>(0x4560);
    LocalBlock block;
    block.h = untouched;
    auto at = static_cast<LONG_PTR>(position);
    int r = ansi ? p.GetFile(utf8(archive).c_str(), at, reinterpret_cast<LPSTR>(&block.h), 0x100, nullptr, 0)
                 : p.GetFileW(archive.c_str(), at, reinterpret_cast<LPWSTR>(&block.h), 0x100, nullptr, 0);
    if (rc) *rc = r;
    bool touched = block.h != untouched;
    if (!touched || r != 0) block.h = nullptr;  // a failure's handle may be anything: never freed
    if (r == 0 && block.h) return bytes_of(block.h);
    return "<rc " + std::to_string(r) + (r == 0 ? ", no block>" : touched ? ", handle set>" : ">");
}

}  // namespace

std::string fetch_memory(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc) {
    return fetch_into_memory(p, archive, position, rc, false);
}

std::string fetch_memory_ansi(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc) {
    return fetch_into_memory(p, archive, position, rc, true);
}

int fetch_file(Plugin& p, const std::wstring& archive, uintptr_t position, const std::wstring& folder) {
    return p.GetFileW(archive.c_str(), static_cast<LONG_PTR>(position), const_cast<wchar_t*>(folder.c_str()), 0,
                      nullptr, 0);
}

std::vector<fileInfoW> list(Plugin& p, const std::wstring& archive) {
    LocalBlock table;
    EXPECT_EQ(0, p.GetArchiveInfoW(archive.c_str(), 0, 0, &table.h)) << utf8(archive);
    return table.h ? records_of(table.h) : std::vector<fileInfoW>();
}

int listing_code(Plugin& p, const std::wstring& archive, LONG_PTR offset, unsigned flags, bool ansi) {
    LocalBlock table;
    table.h = reinterpret_cast<HLOCAL>(0x4560);
    int rc = ansi ? p.GetArchiveInfo(utf8(archive).c_str(), offset, flags, &table.h)
                  : p.GetArchiveInfoW(archive.c_str(), offset, flags, &table.h);
    if (rc != 0) {
        EXPECT_EQ(nullptr, table.h) << "code " << rc << " with a handle set";
        table.h = nullptr;
    }
    return rc;
}

uint32_t crc32(const std::string& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

char kHeader[2048] = "PK";

CurrentFolder::CurrentFolder(const std::wstring& folder) : dir(folder) {
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(dir.c_str());
}

CurrentFolder::~CurrentFolder() { SetCurrentDirectoryW(saved); }

namespace {

struct HookState {
    void* original;
    std::vector<int> fail;
    DWORD error;
    LONG starts;
} g_hook;

BOOL WINAPI hooked_create_process(LPCWSTR app, LPWSTR line, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                                  BOOL inherit, DWORD flags, LPVOID env, LPCWSTR cwd, LPSTARTUPINFOW si,
                                  LPPROCESS_INFORMATION pi) {
    int n = static_cast<int>(InterlockedIncrement(&g_hook.starts));
    for (int f : g_hook.fail)
        if (f == n) {
            SetLastError(g_hook.error);
            return FALSE;
        }
    return reinterpret_cast<decltype(&CreateProcessW)>(g_hook.original)(app, line, pa, ta, inherit, flags, env, cwd,
                                                                        si, pi);
}

}  // namespace

StartHook::StartHook(Plugin& p, std::vector<int> fail, DWORD error) {
    auto* base = reinterpret_cast<unsigned char*>(p.module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name && !slot; ++d) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++bound)
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                       "CreateProcessW") == 0)
                slot = reinterpret_cast<void**>(&bound->u1.Function);
    }
    if (!slot) {
        ADD_FAILURE() << "the plug-in does not import CreateProcessW";
        return;
    }
    original = *slot;
    g_hook = HookState{original, std::move(fail), error, 0};
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = reinterpret_cast<void*>(&hooked_create_process);
    VirtualProtect(slot, sizeof *slot, old, &old);
}

StartHook::~StartHook() {
    if (!slot) return;
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = original;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

int StartHook::starts() const { return static_cast<int>(g_hook.starts); }

// Whether a program started from this folder still runs.
bool runs_from(const std::wstring& dir) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof pe;
    bool found = false;
    for (BOOL ok = Process32FirstW(snap, &pe); ok && !found; ok = Process32NextW(snap, &pe)) {
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID);
        wchar_t image[MAX_PATH];
        DWORD n = MAX_PATH;
        if (p && QueryFullProcessImageNameW(p, 0, image, &n))
            found = _wcsnicmp(image, dir.c_str(), dir.size()) == 0;
        if (p) CloseHandle(p);
    }
    CloseHandle(snap);
    return found;
}
