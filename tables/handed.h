// The tables hosts were handed, by archive. A host keeps the positions of
// the table it was given and asks for members by them later; once the
// archive is another file, those positions name members it no longer holds,
// or others. So for every archive a table was handed out for (the last
// kHandedArchives of them), a digest of the key it was listed under is
// remembered until an information call hands out another.
//
// A host may unload the plug-in and load it again and go on with the
// positions it holds: the record goes to a block that outlasts the module
// (driver/lasting.h) at unload and comes back from it at load. Read back,
// it is checked whole; one that fails, or an archive the record had to
// forget, refuses every position not vouched for until a table is handed
// out again: a refused page is listed again, a wrong one is never served.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/platform.h"
#include "core/text.h"
#include "tables/cache.h"

const int kHandedArchives = 1024;

class HandedTables {
public:
    HandedTables() = default;
    HandedTables(const HandedTables&) = delete;
    HandedTables& operator=(const HandedTables&) = delete;

    // A table of archive, listed under key, went to a host.
    void handed(const wchar16* archive, const TableKey& key);
    // Whether positions a host holds for archive are those of a table listed
    // under key. For an archive the record holds nothing for: yes, unless
    // it forgot one or took a record it could not trust.
    bool current(const wchar16* archive, const TableKey& key);
    void clear();

    // The record as it goes to the lasting block: kRecordBytes of it.
    void save(void* record);
    // Takes the record back; `fresh` when the block was new (all zero).
    // Anything else that is not a whole record of ours is distrusted.
    void restore(const void* record, bool fresh);
    // What a load does when no record can be had at all.
    void distrust();

    struct Entry {
        uint64_t archive;  // path_digest of its path
        uint64_t key;
        uint64_t used;  // 0: free
    };
    struct Record {
        uint64_t magic;
        uint64_t clock;
        uint64_t forgot;  // 1: positions are vouched for by an entry alone
        Entry entries[kHandedArchives];
        uint64_t check;  // a digest of all above
    };
    static const size_t kRecordBytes = sizeof(Record);

private:
    Entry* find(uint64_t archive);

    platform::Lock lock_;
    Record record_ = {};
};

// The module's one memory of tables handed out.
HandedTables& handed_tables();
