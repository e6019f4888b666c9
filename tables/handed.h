// The tables hosts were handed, by archive. A host keeps the positions of
// the table it was given and asks for members by them later; once the
// archive is another file, those positions name members it no longer holds,
// or others. So for every archive a table was handed out for (the last
// kHandedArchives of them, longer than any table is kept), the key it was
// listed under is remembered until an information call hands out another.
#pragma once

#include <cstdint>

#include "core/platform.h"
#include "core/text.h"
#include "tables/cache.h"

const int kHandedArchives = 64;

class HandedTables {
public:
    HandedTables() = default;
    HandedTables(const HandedTables&) = delete;
    HandedTables& operator=(const HandedTables&) = delete;

    // A table of archive, listed under key, went to a host.
    void handed(const wchar16* archive, const TableKey& key);
    // Whether positions a host holds for archive are those of a table listed
    // under key: yes too when no table is remembered for it.
    bool current(const wchar16* archive, const TableKey& key);
    void clear();

private:
    struct Entry {
        WideString archive;
        TableKey key;
        uint64_t used = 0;  // 0: free
    };
    Entry* find(const wchar16* archive);

    platform::Lock lock_;
    Entry entries_[kHandedArchives];
    uint64_t clock_ = 0;
};

// The module's one memory of tables handed out, from load to unload.
HandedTables& handed_tables();
