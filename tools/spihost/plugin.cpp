#include "tools/spihost/plugin.h"

#include <cstring>
#include <cwchar>

namespace {

const char* const kWideNames[kEntries] = {"GetPluginInfoW", "IsSupportedW", "GetArchiveInfoW", "GetFileInfoW",
                                          "GetFileW"};
const char* const kAnsiNames[kEntries] = {"GetPluginInfo", "IsSupported", "GetArchiveInfo", "GetFileInfo",
                                          "GetFile"};
const wchar_t* const kWideLabels[kEntries] = {L"GetPluginInfoW", L"IsSupportedW", L"GetArchiveInfoW",
                                              L"GetFileInfoW", L"GetFileW"};
const wchar_t* const kAnsiLabels[kEntries] = {L"GetPluginInfo", L"IsSupported", L"GetArchiveInfo",
                                              L"GetFileInfo", L"GetFile"};

template <class Proc>
Proc as(FARPROC p) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(p));
}

// Viewers pass a callback; answering 0 lets the plug-in go on.
int __stdcall on_progress(int, int, LONG_PTR) { return 0; }

// Frees a block the plug-in handed over, however it was allocated.
class LocalBlock {
public:
    LocalBlock() = default;
    ~LocalBlock() {
        if (h_) LocalFree(h_);
    }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    HLOCAL* receive() { return &h_; }
    HLOCAL get() const { return h_; }

private:
    HLOCAL h_ = nullptr;
};

// A locked view of a block: fixed blocks lock to themselves, movable ones
// to wherever they are.
class LockedBlock {
public:
    explicit LockedBlock(HLOCAL h) : h_(h), p_(h ? LocalLock(h) : nullptr) {}
    ~LockedBlock() {
        if (p_) LocalUnlock(h_);
    }
    LockedBlock(const LockedBlock&) = delete;
    LockedBlock& operator=(const LockedBlock&) = delete;
    const void* get() const { return p_; }
    size_t size() const { return p_ ? LocalSize(h_) : 0; }

private:
    HLOCAL h_;
    void* p_;
};

std::wstring from_ansi(const char* text, size_t max) {
    size_t len = strnlen(text, max);
    if (len == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(len), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(len), &w[0], n);
    return w;
}

bool exact_ansi(const std::wstring& w, std::string& out) {
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    out.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, &out[0], n, nullptr, &lossy);
    out.resize(static_cast<size_t>(n - 1));
    return !lossy;
}

// A path as an ANSI entry point can take it: as it is when the code page
// holds every character, else its short form, as ANSI viewers do.
bool ansi_path(const std::wstring& path, std::string& out) {
    if (exact_ansi(path, out)) return true;
    wchar_t short_path[MAX_PATH];
    DWORD n = GetShortPathNameW(path.c_str(), short_path, MAX_PATH);
    return n > 0 && n < MAX_PATH && exact_ansi(short_path, out);
}

std::string method_of(const unsigned char (&method)[8]) {
    std::string m;
    for (unsigned char c : method) {
        if (c == 0) break;
        m.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return m;
}

Member member_of(const fileInfoW& r) {
    Member m;
    m.method = method_of(r.method);
    m.position = r.position;
    m.compsize = r.compsize;
    m.filesize = r.filesize;
    m.timestamp = r.timestamp;
    m.path.assign(reinterpret_cast<const wchar_t*>(r.path), wcsnlen(r.path, kFieldChars));
    m.filename.assign(reinterpret_cast<const wchar_t*>(r.filename), wcsnlen(r.filename, kFieldChars));
    m.crc = r.crc;
    return m;
}

Member member_of(const fileInfo& r) {
    Member m;
    m.method = method_of(r.method);
    m.position = r.position;
    m.compsize = r.compsize;
    m.filesize = r.filesize;
    m.timestamp = r.timestamp;
    m.path = from_ansi(r.path, kFieldChars);
    m.filename = from_ansi(r.filename, kFieldChars);
    m.crc = r.crc;
    return m;
}

// The records up to the one whose method starts with 0, and never past the
// end of the block, whatever the plug-in wrote into it.
template <class Record>
void read_table(HLOCAL table, std::vector<Member>& members) {
    LockedBlock view(table);
    const Record* r = static_cast<const Record*>(view.get());
    size_t room = view.size() / sizeof(Record);
    for (size_t i = 0; i < room && r[i].method[0]; ++i) members.push_back(member_of(r[i]));
}

}  // namespace

Plugin::~Plugin() {
    if (module_) FreeLibrary(module_);
}

bool Plugin::load(const std::wstring& file, bool ansi, DWORD& error) {
    // Whatever the plug-in needs beside it is looked for beside it.
    module_ = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module_) {
        error = GetLastError();
        return false;
    }
    ansi_only_ = ansi;
    for (int e = 0; e < kEntries; ++e) {
        wide_[e] = GetProcAddress(module_, kWideNames[e]);
        ansi_[e] = GetProcAddress(module_, kAnsiNames[e]);
    }
    configure_ = GetProcAddress(module_, "ConfigurationDlg");
    return true;
}

int Plugin::configure(int fnc) const { return as<ConfigurationDlgProc>(configure_)(nullptr, fnc); }

const wchar_t* Plugin::name(Entry e, bool wide) { return wide ? kWideLabels[e] : kAnsiLabels[e]; }

const wchar_t* Plugin::name(Entry e) const { return name(e, uses_wide(e)); }

bool Plugin::info(int number, std::wstring& text) const {
    if (uses_wide(kPluginInfo)) {
        wchar_t buf[1024] = {};
        int n = as<GetPluginInfoWProc>(wide_[kPluginInfo])(number, buf, 1024);
        if (n <= 0) return false;
        text.assign(buf, wcsnlen(buf, 1024));
        return true;
    }
    char buf[1024] = {};
    int n = as<GetPluginInfoProc>(ansi_[kPluginInfo])(number, buf, 1024);
    if (n <= 0) return false;
    text = from_ansi(buf, sizeof buf);
    return true;
}

int Plugin::is_supported(const std::wstring& file, const void* head) const {
    void* dw = const_cast<void*>(head);
    if (uses_wide(kIsSupported)) return as<IsSupportedWProc>(wide_[kIsSupported])(file.c_str(), dw);
    std::string a;
    if (!ansi_path(file, a)) return kNoAnsiSpelling;
    return as<IsSupportedProc>(ansi_[kIsSupported])(a.c_str(), dw);
}

int Plugin::archive_info(const std::wstring& archive, std::vector<Member>& members) const {
    LocalBlock table;
    int rc;
    bool wide = uses_wide(kArchiveInfo);
    if (wide) {
        rc = as<GetArchiveInfoWProc>(wide_[kArchiveInfo])(archive.c_str(), 0, 0, table.receive());
    } else {
        std::string a;
        if (!ansi_path(archive, a)) return kNoAnsiSpelling;
        rc = as<GetArchiveInfoProc>(ansi_[kArchiveInfo])(a.c_str(), 0, 0, table.receive());
    }
    if (rc != 0) return rc;
    if (!table.get()) return kNoBlock;
    if (wide)
        read_table<fileInfoW>(table.get(), members);
    else
        read_table<fileInfo>(table.get(), members);
    return 0;
}

int Plugin::file_info(const std::wstring& archive, const std::wstring& member, Member& found) const {
    if (uses_wide(kFileInfo)) {
        fileInfoW r = {};
        int rc = as<GetFileInfoWProc>(wide_[kFileInfo])(archive.c_str(), 0, member.c_str(), 0, &r);
        if (rc == 0) found = member_of(r);
        return rc;
    }
    std::string a, m;
    if (!ansi_path(archive, a) || !exact_ansi(member, m)) return kNoAnsiSpelling;
    fileInfo r = {};
    int rc = as<GetFileInfoProc>(ansi_[kFileInfo])(a.c_str(), 0, m.c_str(), 0, &r);
    if (rc == 0) found = member_of(r);
    return rc;
}

int Plugin::get_to_memory(const std::wstring& archive, uintptr_t position, std::string& block) const {
    const unsigned kMemoryOutput = 0x100;
    LocalBlock bytes;
    int rc;
    LONG_PTR at = static_cast<LONG_PTR>(position);
    if (uses_wide(kGetFile)) {
        rc = as<GetFileWProc>(wide_[kGetFile])(archive.c_str(), at, reinterpret_cast<LPWSTR>(bytes.receive()),
                                               kMemoryOutput, on_progress, 0);
    } else {
        std::string a;
        if (!ansi_path(archive, a)) return kNoAnsiSpelling;
        rc = as<GetFileProc>(ansi_[kGetFile])(a.c_str(), at, reinterpret_cast<LPSTR>(bytes.receive()),
                                              kMemoryOutput, on_progress, 0);
    }
    if (rc != 0) return rc;
    if (!bytes.get()) return kNoBlock;
    LockedBlock view(bytes.get());
    if (!view.get()) return kNoBlock;
    block.assign(static_cast<const char*>(view.get()), view.size());
    return 0;
}

int Plugin::get_to_folder(const std::wstring& archive, uintptr_t position, const std::wstring& folder) const {
    LONG_PTR at = static_cast<LONG_PTR>(position);
    if (uses_wide(kGetFile)) {
        std::vector<wchar_t> dest(folder.begin(), folder.end());
        dest.push_back(0);
        return as<GetFileWProc>(wide_[kGetFile])(archive.c_str(), at, dest.data(), 0, on_progress, 0);
    }
    std::string a, d;
    if (!ansi_path(archive, a) || !ansi_path(folder, d)) return kNoAnsiSpelling;
    std::vector<char> dest(d.begin(), d.end());
    dest.push_back(0);
    return as<GetFileProc>(ansi_[kGetFile])(a.c_str(), at, dest.data(), 0, on_progress, 0);
}
