// The member tables of the sixteen archives listed last, so that fetching
// members after a listing need not test and list the archive again.
#pragma once

#include "core/platform.h"
#include "core/records.h"

const int kCacheSlots = 16;

// How a request names its member: by the names wide hosts are shown, or by
// those ANSI hosts are shown (each name through the ANSI code page).
enum class NameForm { kWide, kAnsi };

// The first record matching the request: by file name without regard to
// case when the request names one, else by position. Null when none does.
const MemberRecord* select_record(const MemberRecord* table, const MemberRecord& request, NameForm form);

class ArchiveTableCache {
public:
    ArchiveTableCache() = default;
    ~ArchiveTableCache() { clear(); }
    ArchiveTableCache(const ArchiveTableCache&) = delete;
    ArchiveTableCache& operator=(const ArchiveTableCache&) = delete;

    // Takes the table and serves the request from it in one turn of the lock,
    // so no other caller can evict it in between: a copy of the whole table
    // into *copy, or the matching record over *request (`missing` when none).
    int store(const wchar16* archive, platform::OwnedBlock table, void** copy,
              MemberRecord* request, NameForm form, int missing);
    // kOk served, kNotServed not cached, `missing` cached without the member,
    // kNoMemory when the copy cannot be allocated.
    int lookup(const wchar16* archive, void** copy, MemberRecord* request, NameForm form, int missing);
    void clear();

private:
    struct CacheSlot {
        platform::OwnedBlock table;
        wchar16 path[kPathChars];
    };
    static int serve(const MemberRecord* table, void** copy, MemberRecord* request, NameForm form,
                     int missing);

    platform::Lock lock_;
    CacheSlot slots_[kCacheSlots];
    int next_ = 0;
};

// The module's one cache, from load to unload.
ArchiveTableCache& table_cache();
