#include "tables/retrieval.h"

#include <windows.h>

#include "core/handle.h"
#include "driver/commands.h"
#include "tables/handed.h"
#include "tables/passwords.h"
#include "tables/read_ahead.h"

namespace {

// The last few of something asked about, looked up and remembered under a
// lock: the newest in place of one the same, else of the oldest.
template <typename Entry, size_t kMost>
class Recent {
public:
    template <typename Match>
    bool find(Match match, Entry& found) {
        platform::LockGuard guard(lock_);
        for (const Entry& e : entries_)
            if (match(e)) {
                found = e;
                return true;
            }
        return false;
    }
    template <typename Match>
    void remember(const Entry& entry, Match same) {
        platform::LockGuard guard(lock_);
        for (Entry& e : entries_)
            if (same(e)) {
                e = entry;
                return;
            }
        entries_[next_] = entry;
        next_ = (next_ + 1) % kMost;
    }

private:
    platform::Lock lock_;
    Entry entries_[kMost];
    size_t next_ = 0;
};

// The volumes of the files asked about last, by name. Asking a file's
// volume its serial number costs a round trip to the volume (a third of a
// millisecond under some systems, every page a host asks for); the rest of
// who a file is costs nothing beside. A volume is remembered while its name
// leads to a file of the same index, size and last write.
struct SeenVolume {
    WideString name;
    FileIdentity id;
};
typedef Recent<SeenVolume, 8> SeenVolumes;

SeenVolumes& seen_volumes() {
    static SeenVolumes* v = new SeenVolumes;  // never destroyed: used until the last call
    return *v;
}

typedef LONG(WINAPI* QueryFileInformation)(HANDLE file, void* status, void* information, ULONG length,
                                           ULONG information_class);

// Who the file open as `file` is, all asked of the system at once.
bool identify_fully(HANDLE file, FileIdentity& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    id.written = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

// Who the file open as `file` under `name` is: its volume remembered when
// the system tells the rest apart, else all asked at once.
bool identify(const wchar16* name, HANDLE file, FileIdentity& id) {
    static const QueryFileInformation query = reinterpret_cast<QueryFileInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    const ULONG kFileInternalInformation = 6;  // the index the file system knows the file by
    ULONG_PTR status[2];                       // the call's status block
    LARGE_INTEGER index, size;
    FILETIME written;
    if (!query || query(file, status, &index, sizeof index, kFileInternalInformation) != 0 ||
        !GetFileSizeEx(file, &size) || !GetFileTime(file, nullptr, nullptr, &written))
        return identify_fully(file, id);
    id.index = static_cast<uint64_t>(index.QuadPart);
    id.size = static_cast<uint64_t>(size.QuadPart);
    id.written = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    SeenVolume seen;
    auto same_name = [&](const SeenVolume& s) { return s.name == name; };
    if (seen_volumes().find(same_name, seen) && seen.id.index == id.index && seen.id.size == id.size &&
        seen.id.written == id.written) {
        id.volume = seen.id.volume;
        return true;
    }
    DWORD serial = 0;
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
        return identify_fully(file, id);
    id.volume = serial;
    seen_volumes().remember(SeenVolume{name, id}, same_name);
    return true;
}

// The archive's identity now, opened for nothing but that.
bool identify(const wchar16* archive, FileIdentity& id) {
    FileHandle f(CreateFileW(archive, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return f.valid() && identify(archive, f.get(), id);
}

// Proves that 8 bytes can be read where the archive begins, and tells who
// the archive is.
ResultCode probe(const wchar16* archive, uint32_t offset, FileIdentity& id) {
    FileHandle f(CreateFileW(archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid() || !identify(archive, f.get(), id)) return kReadError;
    LONG distance = static_cast<LONG>(offset);
    // The offset is a signed 32-bit distance: from 2 GiB on it cannot be reached.
    if (distance < 0) return kReadError;
    if (SetFilePointer(f.get(), distance, nullptr, FILE_BEGIN) != offset) return kReadError;
    unsigned char head[8];
    DWORD got = 0;
    if (!ReadFile(f.get(), head, sizeof head, &got, nullptr)) return kReadError;
    return got < sizeof head ? kUnknownFormat : kOk;
}

// Whether a name leads to a file of that size and last write, looked at
// without opening it (asking who a file is costs a look at its volume).
bool looks_like(const wchar16* name, const FileIdentity& id) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(name, GetFileExInfoStandard, &d) || (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const uint64_t size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    const uint64_t written =
        (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
    return size == id.size && written == id.written;
}

// The long forms of the short names hosts gave last. Asking the system for
// one looks at every folder on the way (milliseconds under some systems),
// and a host paging through an album by its short name asks page after
// page. A name known is used while the short one still leads to the same
// file (a file renamed takes a new short name) and the long one to a file
// like it (a folder on the way renamed, and another made in its place).
struct KnownName {
    WideString short_form, long_form;
    FileIdentity id;
};
typedef Recent<KnownName, 4> KnownNames;

KnownNames& known_names() {
    static KnownNames* k = new KnownNames;  // never destroyed: used until the last call
    return *k;
}

// The long form known for a short name, and who the file is now.
bool known_long_name(const WideString& short_form, WideString& long_form, FileIdentity& now) {
    KnownName found;
    if (!known_names().find([&](const KnownName& n) { return n.short_form == short_form; }, found) ||
        !identify(short_form.c_str(), now) || !(now == found.id) || !looks_like(found.long_form.c_str(), now))
        return false;
    long_form = found.long_form;
    return true;
}

void remember_long_name(const WideString& short_form, const WideString& long_form) {
    KnownName n;
    if (!identify(long_form.c_str(), n.id)) return;
    n.short_form = short_form;
    n.long_form = long_form;
    known_names().remember(n, [&](const KnownName& old) { return old.short_form == short_form; });
}

// An archive as a host named it: by its full, long name, so that a
// relative or short 8.3 name names the same archive, kept and served as
// one, and the name tells the tar pipe what it is (as given when the
// system cannot tell); and who it is, when that was seen on the way.
struct ArchiveName {
    WideString path;
    bool identified = false;
    FileIdentity id;
};

ArchiveName long_name(const wchar16* archive) {
    ArchiveName n;
    n.path = archive;
    DWORD need = GetFullPathNameW(archive, 0, nullptr, nullptr);
    if (need == 0) return n;
    WideString full(need, 0);
    DWORD got = GetFullPathNameW(archive, need, &full[0], nullptr);
    if (got == 0 || got >= need) return n;
    full.resize(got);
    n.path = full;
    // The names Windows makes short all hold a '~'; a path without one is
    // its own long form, and asking costs a look at every folder on the way.
    if (full.find(L'~') == WideString::npos) return n;
    if (known_long_name(full, n.path, n.id)) {
        n.identified = true;
        return n;
    }
    need = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (need == 0) return n;
    WideString long_form(need, 0);
    got = GetLongPathNameW(full.c_str(), &long_form[0], need);
    // A long form past what file calls take as given would lose the archive
    // a short name reaches; the listing's content still tells a tar then.
    if (got == 0 || got >= need || got >= kPathChars) return n;
    long_form.resize(got);
    remember_long_name(full, long_form);
    n.path = long_form;
    return n;
}

TableKey key_of(const Setup& setup, const wchar16* archive, const FileIdentity& id) {
    TableKey key;
    key.file = id;
    key.exe = setup.exe;
    key.threshold = setup.threshold;
    key.tar_by_name = use_tar_pipe(archive, setup.settings.tar);
    return key;
}

// The test, or its verdict while the archive is what it was when tested.
// Only what 7-Zip said is kept: a test that could not be run tells nothing,
// nor does one the archive's password was not given for. The setup takes
// the password that opened the archive, for the runs after the test.
bool supported(Setup& setup, const wchar16* archive, const FileIdentity* id) {
    if (!setup.found()) return false;
    if (id) recall_password(setup, *id);
    ArchiveTableCache& cache = table_cache();
    bool yes = false;
    if (id && cache.verdict(archive, *id, setup.exe, yes)) return yes;
    Verdict verdict = test_unlocking(setup, archive, id);
    yes = verdict == Verdict::kYes;
    if (id && verdict != Verdict::kNotAsked) cache.remember_verdict(archive, *id, setup.exe, yes);
    return yes;
}

// Test and listing after the probe, the table kept and served; under
// test=list the listing alone, which is then the claim: one 7-Zip did not
// end well claims nothing, as a test that did not would, unless the test
// unlocks it (an archive whose names need a password is asked for one, as
// under test=full). The identity was taken before 7-Zip looks, so a change
// while it does is seen the next time.
ResultCode build(Setup& setup, const wchar16* archive, const TableKey& key, void** copy,
                 MemberRecord* request, NameForm form, MemberSource* source) {
    bool tested = !setup.settings.claim_by_listing;
    if (tested && !supported(setup, archive, &key.file)) return kUnknownFormat;
    if (!tested) recall_password(setup, key.file);
    Listing listing;
    ResultCode listed = list_archive(setup, archive, listing);
    if (listed == kReadError && !tested) {
        if (!supported(setup, archive, &key.file)) return kUnknownFormat;
        tested = true;
        listed = list_archive(setup, archive, listing);
    }
    if (listed != kOk) return listed;
    return static_cast<ResultCode>(
        table_cache().store(archive, key, tested, std::move(listing), copy, request, form, kNotServed, source));
}

// Under test=list: whether 7-Zip lists the archive, its table kept for the
// information call that follows, so opening costs one listing.
bool listed(Setup& setup, const wchar16* archive, const FileIdentity* id) {
    if (!setup.found()) return false;
    if (!id) {
        Listing listing;
        return list_archive(setup, archive, listing) == kOk;
    }
    TableKey key = key_of(setup, archive, *id);
    return table_cache().holds(archive, key) ||
           build(setup, archive, key, nullptr, nullptr, NameForm::kWide, nullptr) == kOk;
}

}  // namespace

bool archive_supported(const Setup& given_setup, const wchar16* given) {
    ArchiveName name = long_name(given);
    const WideString& archive = name.path;
    Setup setup = given_setup;
    const FileIdentity* known = name.identified || identify(archive.c_str(), name.id) ? &name.id : nullptr;
    if (setup.settings.claim_by_listing) return listed(setup, archive.c_str(), known);
    return supported(setup, archive.c_str(), known);
}

ResultCode obtain_archive_table(const Setup& given_setup, const wchar16* given, uint32_t offset, void** copy,
                                MemberRecord* request, NameForm form) {
    ArchiveName name = long_name(given);
    const wchar16* archive = name.path.c_str();
    // The probe answers first, as on a fresh listing. Without 7-Zip no
    // archive is served, and what is kept stays for when it is back.
    FileIdentity id;
    ResultCode probed = probe(archive, offset, id);
    if (probed != kOk) return probed;
    if (!given_setup.found()) return kUnknownFormat;
    Setup setup = given_setup;
    TableKey key = key_of(setup, archive, id);
    MemberSource source;
    Lookup kept = table_cache().lookup(archive, key, !setup.settings.claim_by_listing, copy, request, form,
                                       kNotServed, &source);
    ResultCode rc = kept.held ? static_cast<ResultCode>(kept.result)
                              : build(setup, archive, key, copy, request, form, &source);
    if (rc != kOk) return rc;
    // From here the host holds this table's positions, and will ask for
    // some of them soon.
    handed_tables().handed(archive, key);
    read_album(setup, archive, source);
    return rc;
}

ResultCode obtain_member(Setup& setup, const wchar16* given, uintptr_t position, MemberRecord& record,
                         MemberSource& source) {
    record = MemberRecord();
    record.position = position;
    ArchiveName name = long_name(given);
    const wchar16* archive = name.path.c_str();
    FileIdentity& id = name.id;
    if (!name.identified && !identify(archive, id)) return kReadError;
    recall_password(setup, id);
    TableKey key = key_of(setup, archive, id);
    // A position from a table of the file as it was names nothing in the
    // file as it is, until an information call hands out its new table;
    // what was kept for the old one goes now.
    if (!handed_tables().current(archive, key)) {
        table_cache().drop_stale(archive, key);
        return kReadError;
    }
    // Without 7-Zip nothing comes out: a member of a kept table cannot be
    // read, and an archive never listed is not served.
    if (!setup.found()) {
        if (table_cache().holds(archive)) return kReadError;
        ResultCode probed = probe(archive, 0, id);
        return probed != kOk ? probed : kUnknownFormat;
    }
    Lookup kept = table_cache().lookup(archive, key, !setup.settings.claim_by_listing, nullptr, &record,
                                       NameForm::kWide, kUnknownFormat, &source);
    if (kept.held) return static_cast<ResultCode>(kept.result);
    if (kept.changed) return kReadError;
    ResultCode probed = probe(archive, 0, id);
    if (probed != kOk) return probed;
    return build(setup, archive, key_of(setup, archive, id), nullptr, &record, NameForm::kWide, &source);
}
