#include "tables/handed.h"

#include "driver/paths.h"

HandedTables::Entry* HandedTables::find(const wchar16* archive) {
    size_t len = wide_len(archive);
    for (Entry& e : entries_)
        if (e.used && compare_paths_ordinal(e.archive.data(), e.archive.size(), archive, len) == 0) return &e;
    return nullptr;
}

void HandedTables::handed(const wchar16* archive, const TableKey& key) {
    platform::LockGuard guard(lock_);
    Entry* e = find(archive);
    if (!e) {
        // The one used longest ago makes room.
        e = &entries_[0];
        for (Entry& other : entries_)
            if (other.used < e->used) e = &other;
        e->used = 0;
        try {
            e->archive = archive;
        } catch (...) {
            return;
        }
    }
    try {
        e->key = key;
    } catch (...) {
        // Without the key the positions cannot be vouched for: forget them.
        e->used = 0;
        return;
    }
    e->used = ++clock_;
}

bool HandedTables::current(const wchar16* archive, const TableKey& key) {
    platform::LockGuard guard(lock_);
    Entry* e = find(archive);
    if (!e) return true;
    e->used = ++clock_;
    return e->key == key;
}

void HandedTables::clear() {
    platform::LockGuard guard(lock_);
    for (Entry& e : entries_) e = Entry();
    clock_ = 0;
}

namespace {
HandedTables g_handed;
}  // namespace

HandedTables& handed_tables() { return g_handed; }
