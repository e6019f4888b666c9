#include "tables/handed.h"

#include <cstring>

#include "driver/paths.h"

namespace {

const uint64_t kMagic = 0x3164656472617a72ull;  // "rzarded1", the layout's version

// FNV-1a, over bytes.
uint64_t mix(uint64_t h, const void* bytes, size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

uint64_t mix_value(uint64_t h, uint64_t value) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(value >> (8 * i));
    return mix(h, b, sizeof b);
}

uint64_t key_digest(const TableKey& key) {
    uint64_t h = 14695981039346656037ull;
    for (uint64_t v : {uint64_t(key.file.volume), key.file.index, key.file.size, key.file.written,
                       uint64_t(uint32_t(key.threshold)), uint64_t(key.tar_by_name), uint64_t(key.exe.size())})
        h = mix_value(h, v);
    for (wchar16 c : key.exe) h = mix_value(h, c);
    return h;
}

uint64_t archive_digest(const wchar16* archive) { return path_digest(archive, wide_len(archive)); }

uint64_t check_of(const HandedTables::Record& r) {
    return mix(14695981039346656037ull, &r, offsetof(HandedTables::Record, check));
}

// Whole and made by this layout: each entry's use no later than the clock.
bool sound(const HandedTables::Record& r) {
    // A clock far from wrapping: a use never reads as a free entry.
    if (r.magic != kMagic || r.check != check_of(r) || r.forgot > 1 || r.clock >> 62) return false;
    for (const HandedTables::Entry& e : r.entries)
        if (e.used > r.clock) return false;
    return true;
}

}  // namespace

HandedTables::Entry* HandedTables::find(uint64_t archive) {
    for (Entry& e : record_.entries)
        if (e.used && e.archive == archive) return &e;
    return nullptr;
}

void HandedTables::handed(const wchar16* archive, const TableKey& key) {
    uint64_t digest = archive_digest(archive);
    platform::LockGuard guard(lock_);
    Entry* e = find(digest);
    if (!e) {
        // The one used longest ago makes room.
        e = &record_.entries[0];
        for (Entry& other : record_.entries)
            if (other.used < e->used) e = &other;
        if (e->used) record_.forgot = 1;
        e->archive = digest;
    }
    e->key = key_digest(key);
    e->used = ++record_.clock;
}

bool HandedTables::current(const wchar16* archive, const TableKey& key) {
    uint64_t digest = archive_digest(archive);
    platform::LockGuard guard(lock_);
    Entry* e = find(digest);
    if (!e) return !record_.forgot;
    e->used = ++record_.clock;
    return e->key == key_digest(key);
}

void HandedTables::clear() {
    platform::LockGuard guard(lock_);
    record_ = Record();
}

void HandedTables::save(void* record) {
    platform::LockGuard guard(lock_);
    record_.magic = kMagic;
    record_.check = check_of(record_);
    memcpy(record, &record_, sizeof record_);
}

void HandedTables::restore(const void* record, bool fresh) {
    platform::LockGuard guard(lock_);
    record_ = Record();
    if (fresh) return;
    memcpy(&record_, record, sizeof record_);
    if (sound(record_)) return;
    record_ = Record();
    record_.forgot = 1;
}

void HandedTables::distrust() {
    platform::LockGuard guard(lock_);
    record_ = Record();
    record_.forgot = 1;
}

namespace {
HandedTables g_handed;
}  // namespace

HandedTables& handed_tables() { return g_handed; }
