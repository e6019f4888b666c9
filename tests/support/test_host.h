// A host for the tests: loads a private copy of the built plug-in and calls
// its exports through the function-pointer types a Susie host declares.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "plugin/exports.h"

// A folder of its own under the test process's scratch root.
std::wstring fresh_dir(const wchar_t* tag);
std::wstring join(const std::wstring& dir, const std::wstring& name);
std::wstring seven_zip_dir();
std::wstring this_program();

std::string read_bytes(const std::wstring& path);
void write_bytes(const std::wstring& path, const std::string& bytes);
bool exists(const std::wstring& path);
// Files and folders below dir, as relative paths.
std::vector<std::wstring> list_tree(const std::wstring& dir);
void remove_tree(const std::wstring& dir);
// What is left in the work folder once files the plug-in deleted are gone
// (Wine's console host can hold a child's output a moment after it exits):
// everything, or its files alone. With but_kept, members kept ahead (below
// folders "k.*") are passed over: they stay while the plug-in is loaded.
std::vector<std::wstring> work_area_leftovers(bool files_only = false, bool but_kept = false);
// Whether a program started from this folder still runs.
bool runs_from(const std::wstring& dir);
// A failure for each of them.
void expect_work_area_empty(bool files_only = false, bool but_kept = false);
bool is_kept_ahead(const std::wstring& relative);
std::string utf8(const std::wstring& w);
std::wstring widen(const std::string& utf8);

// Runs a program hidden and waits; answers its exit code (-1 when it
// could not be started). Standard output goes to out_path when given.
int run(const std::wstring& command_line, const std::wstring& out_path = L"");
// The real 7z.exe with these arguments (for making and checking archives).
int run_7z(const std::wstring& args, const std::wstring& out_path = L"");

// The plug-in's work folder. Each test program gets a temporary folder of
// its own (TMP and TEMP point there), so parallel tests never share one.
std::wstring work_area();
// "<kind>.<pid>.<start>.": how the plug-in in this process begins the names
// of what it makes there.
std::wstring work_prefix(wchar_t kind);

// An archive made by the real 7z.exe from these entries. type: zip, 7z,
// tar, tgz, txz or tbz (a tar compressed by gzip, xz or bzip2); name is the
// archive's file name. Folders are entries whose path ends with a backslash.
struct Entry {
    std::wstring path;
    std::string bytes;
};
// Each file's bytes by its file name (folders and empty files left out).
std::map<std::wstring, std::string> bytes_by_name(const std::vector<Entry>& entries);
std::wstring make_archive(const std::wstring& name, const std::vector<Entry>& entries,
                          const std::string& type, const std::wstring& switches = L"");
// A tar written byte by byte, names exactly as given (UTF-8, '/' between
// folders, a trailing '/' for a folder; long ones in GNU long-name entries):
// for names and entries 7-Zip would not write.
struct TarEntry {
    TarEntry(std::string name_, std::string bytes_ = "", char type_ = 0, std::string link_ = "", long long claimed_ = -1)
        : name(std::move(name_)), bytes(std::move(bytes_)), type(type_), link(std::move(link_)), claimed(claimed_) {}
    std::string name;
    std::string bytes;
    char type;          // '1' hard link, '2' symbolic link, '5' folder; 0 for a file or, by its '/', a folder
    std::string link;   // a link's target
    long long claimed;  // the size the header claims, when not that of the bytes (-1)
};
std::string tar_of(const std::vector<TarEntry>& entries);
void write_tar(const std::wstring& path, const std::vector<TarEntry>& entries);
// A file of `size` bytes of a repeatable pattern.
std::string pattern_bytes(size_t size, unsigned seed);
// The archive file's last-write time in seconds since 1970.
long long unix_mtime(const std::wstring& path);

struct Plugin {
    // ini is the body of rizazur.ini ("" for no settings file at all).
    explicit Plugin(const std::wstring& ini);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void write_ini(const std::wstring& ini);
    void unload();
    // Loaded again and bound afresh, as a host that unloads between calls.
    void reload();

    std::wstring dir;
    HMODULE module = nullptr;
    GetPluginInfoProc GetPluginInfo = nullptr;
    GetPluginInfoWProc GetPluginInfoW = nullptr;
    IsSupportedProc IsSupported = nullptr;
    IsSupportedWProc IsSupportedW = nullptr;
    GetArchiveInfoProc GetArchiveInfo = nullptr;
    GetArchiveInfoWProc GetArchiveInfoW = nullptr;
    GetFileInfoProc GetFileInfo = nullptr;
    GetFileInfoWProc GetFileInfoW = nullptr;
    GetFileProc GetFile = nullptr;
    GetFileWProc GetFileW = nullptr;
    ConfigurationDlgProc ConfigurationDlg = nullptr;
};

// "[UserSetting]" with dir set to the real 7-Zip, plus extra lines.
std::wstring ini_with_7zip(const std::wstring& extra = L"");

// A folder holding the stand-in archiver as 7z.exe and a dummy 7z.dll. The
// tests put what each command prints in out-<key>.txt (key: t, l, x, x-so,
// l-si, x-si; a test's output may be given at once) and read every run's
// command line from runs.log.
struct StandIn {
    explicit StandIn(const std::string& test_output = "");
    void set_output(const std::string& key, const std::string& bytes);
    std::vector<std::wstring> runs() const;
    // The command letters of the runs so far: "tl" for a test and a listing.
    std::string letters() const;
    std::wstring ini(const std::wstring& extra = L"") const;
    // Its files but its log copied into folder (made if need be): a stand-in
    // of its own there, which logs its runs apart.
    void copy_to(const std::wstring& folder) const;
    std::wstring dir;
};

// One member's block of a technical listing, as 7-Zip prints it.
std::string listing_block(const std::string& path, const std::string& size);

// A stand-in that tests any archive fine and lists it as dictated, with a
// small file to stand for the archive. member() sets the bytes an
// extraction writes: for the member of that file name, or for any other.
// Settings in which reading ahead is off: a small album's members would
// come out right after its table is handed over, and a test counting the
// runs that find and build tables counts those alone.
inline const std::wstring kTablesOnly = L"aheadMB=0\r\n";

struct DictatedArchive : StandIn {
    explicit DictatedArchive(const std::string& listing);
    void member(const std::string& bytes);
    void member(const std::wstring& name, const std::string& bytes);
    // Rewrites the archive a byte longer: to the plug-in another archive,
    // whose test and listing it must ask for again.
    void touch();
    std::vector<fileInfoW> list(Plugin& p);
    std::wstring archive;
};

// A dictated archive listing a.png (10 bytes) and d\b.png (20), whose
// extraction brings out kBytes and kLonger for them.
extern const char kBytes[], kLonger[];
struct Served : DictatedArchive {
    Served();
    std::string ansi_archive() const { return utf8(archive); }
};

// Makes the stand-in's runs wait on an event of this object's own until
// release() or its end. file: "wait-<key>.txt" holds a run of that key once
// it is done; "open-x.txt" has an extraction leave its member held open (no
// deleting) by a helper process.
struct Holding {
    Holding(const StandIn& s, const wchar_t* file);
    ~Holding();
    void release() { SetEvent(event); }
    HANDLE event;
};

// Deletes a host-owned local-memory block when the test is done with it.
struct LocalBlock {
    HLOCAL h = nullptr;
    ~LocalBlock() {
        if (h) LocalFree(h);
    }
};

std::vector<fileInfoW> records_of(HLOCAL table);
// The records GetArchiveInfoW hands over; a failure fails the test.
std::vector<fileInfoW> list(Plugin& p, const std::wstring& archive);
// GetArchiveInfoW's code (GetArchiveInfo's, the name in UTF-8, when
// ansi); when it fails, the host's handle must be null.
int listing_code(Plugin& p, const std::wstring& archive, LONG_PTR offset = 0, unsigned flags = 0, bool ansi = false);
std::vector<fileInfo> ansi_records_of(HLOCAL table);
std::string bytes_of(HLOCAL block);
// A member fetched into memory by GetFileW: its bytes, or "<rc N>" when
// the fetch failed (its code also in *rc), "<rc N, handle set>" when a
// failed one touched the host's handle.
std::string fetch_memory(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc = nullptr);
// The same through GetFile, the archive's name in UTF-8.
std::string fetch_memory_ansi(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc = nullptr);
// GetFileW into a folder: its code.
int fetch_file(Plugin& p, const std::wstring& archive, uintptr_t position, const std::wstring& folder);
// The CRC-32 a listing gives for these bytes.
uint32_t crc32(const std::string& bytes);

// The 2 KB of a file's head a host hands IsSupported: "PK" and zeros.
extern char kHeader[2048];

// The test's current folder while it lives: 7-Zip inherits it, so what a
// name smuggled into a command line would land here.
struct CurrentFolder {
    explicit CurrentFolder(const std::wstring& folder);
    ~CurrentFolder();
    wchar_t saved[MAX_PATH];
    std::wstring dir;
};

// Takes the place of the plug-in's import of CreateProcessW while it lives:
// counts the starts the plug-in asks for, and fails those numbered in `fail`
// (from 1) with `error` instead of starting anything.
struct StartHook {
    StartHook(Plugin& p, std::vector<int> fail = {}, DWORD error = ERROR_SHARING_VIOLATION);
    ~StartHook();
    int starts() const;
    void** slot = nullptr;
    void* original = nullptr;
};
