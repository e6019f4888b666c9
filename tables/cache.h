// What 7-Zip told us of the sixteen archives it looked at last: their member
// tables with the full paths behind them, and the verdicts of their tests.
// Each is kept with the archive's identity and the settings that shaped it,
// and used only while both are what they were.
#pragma once

#include <cstdint>
#include <memory>

#include "core/platform.h"
#include "core/records.h"
#include "core/text.h"
#include "driver/archiver.h"

const int kCacheSlots = 16;

// Members brought out ahead of the host's asking (tables/read_ahead.h). They
// belong to the table they were read for and go with it.
class KeptMembers;

// An archive file as the file system tells it from any other, and from an
// earlier version of itself.
struct FileIdentity {
    uint32_t volume = 0;
    uint64_t index = 0;
    uint64_t size = 0;
    uint64_t written = 0;  // last-write time in 100 ns units
    bool operator==(const FileIdentity& o) const {
        return volume == o.volume && index == o.index && size == o.size && written == o.written;
    }
};

// What a table depends on: the file, the 7-Zip that listed it, the size
// threshold and whether the archive's name called for the tar pipe.
struct TableKey {
    FileIdentity file;
    WideString exe;
    int32_t threshold = 0;
    bool tar_by_name = false;
    bool operator==(const TableKey& o) const {
        return file == o.file && exe == o.exe && threshold == o.threshold && tar_by_name == o.tar_by_name;
    }
};

// How a request names its member: by the names wide hosts are shown, or by
// those ANSI hosts are shown (each name through the ANSI code page).
enum class NameForm { kWide, kAnsi };

// The record a request asks for. With a folder in its path (the host's
// name cut at its last separator, either kind): the one member of that
// folder and file name. With a file name alone: the member of that name at
// the top, else the first of that name. With neither: the member at its
// position. Names are compared as the file system compares them, without
// regard to case. Null when none is.
const MemberRecord* select_record(const MemberRecord* table, const MemberRecord& request, NameForm form);

// What a fetch needs of a member besides its record.
struct MemberSource {
    WideString path;     // as listed; empty when the listing's paths were not kept
    bool alone = false;  // 7-Zip can bring it out without another
    bool tar_pipe = false;
    uint64_t table = 0;  // which stored table the record came from
    std::shared_ptr<KeptMembers> kept;  // those kept for that table so far
};

// The answer of a lookup: whether a table was held for the archive, and
// whether it was dropped for no longer matching; when held, the result.
struct Lookup {
    bool held = false;
    bool changed = false;
    int result = kOk;
};

class ArchiveTableCache {
public:
    ArchiveTableCache() = default;
    ~ArchiveTableCache() { clear(); }
    ArchiveTableCache(const ArchiveTableCache&) = delete;
    ArchiveTableCache& operator=(const ArchiveTableCache&) = delete;

    // The table held for archive, served when its key is still key: a copy
    // of the whole table into *copy, or the matching record over *request
    // (`missing` when there is none); *source tells which table served it, and
    // for a record, its member's path. A table held under
    // another key is dropped. One the archive was claimed for by its listing
    // alone is not served where a tested one is asked for; it stays for
    // whoever asks for no more.
    Lookup lookup(const wchar16* archive, const TableKey& key, bool tested, void** copy, MemberRecord* request,
                  NameForm form, int missing, MemberSource* source);
    // Takes the listing in place of whatever was held for the archive, as
    // tested or claimed by listing alone, and serves the request (if any)
    // from it in the same turn of the lock, so no other caller can evict it
    // in between.
    int store(const wchar16* archive, const TableKey& key, bool tested, Listing listing, void** copy,
              MemberRecord* request, NameForm form, int missing, MemberSource* source);

    // Whether any table is held for the archive, whatever it was listed under.
    bool holds(const wchar16* archive);
    // Whether a table is held for the archive under key, however claimed.
    bool holds(const wchar16* archive, const TableKey& key);
    // Drops the table held for the archive when it was listed under another
    // key, and the members kept for it.
    void drop_stale(const wchar16* archive, const TableKey& key);

    // Calls visit(const Listing&) under the lock while the table stored as
    // `table` is still held; false when it is gone.
    template <class Visit>
    bool with_table(uint64_t table, Visit&& visit) {
        platform::LockGuard guard(lock_);
        for (const TableSlot& slot : tables_)
            if (slot.listing.table && slot.serial == table) {
                visit(slot.listing);
                return true;
            }
        return false;
    }
    // The members kept for that table: those already there, else `fresh`
    // from now on. Null when the table is gone.
    std::shared_ptr<KeptMembers> attach_kept(uint64_t table, std::shared_ptr<KeptMembers> fresh);

    // The verdict of 7-Zip's test of an archive, while it and the 7-Zip
    // that tested it are what they were.
    bool verdict(const wchar16* archive, const FileIdentity& file, const WideString& exe, bool& supported);
    void remember_verdict(const wchar16* archive, const FileIdentity& file, const WideString& exe, bool supported);

    void clear();

private:
    struct TableSlot {
        WideString archive;
        TableKey key;
        bool tested = false;  // else claimed by its listing alone
        Listing listing;
        uint64_t serial = 0;
        std::shared_ptr<KeptMembers> kept;
    };
    struct VerdictSlot {
        WideString archive;
        FileIdentity file;
        WideString exe;
        bool supported = false;
        bool used = false;
    };
    static int serve(const TableSlot& slot, void** copy, MemberRecord* request, NameForm form, int missing,
                     MemberSource* source);
    TableSlot* held(const wchar16* archive);
    // Empties a slot; what was kept for its table goes once the caller lets
    // go of `doomed`, outside the lock, since removing it touches the disk.
    static void drop(TableSlot& slot, std::shared_ptr<KeptMembers>& doomed);

    platform::Lock lock_;
    TableSlot tables_[kCacheSlots];
    VerdictSlot verdicts_[kCacheSlots];
    uint64_t serial_ = 0;
    int next_verdict_ = 0;
};

// The module's one cache, from load to unload.
ArchiveTableCache& table_cache();
