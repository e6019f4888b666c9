#include "tables/cache.h"

#include <cstring>

#include "core/text.h"

const MemberRecord* select_record(const MemberRecord* table, const MemberRecord& request) {
    bool by_name = request.filename[0] != 0;
    for (const MemberRecord* r = table; !is_table_end(*r); ++r) {
        if (by_name ? platform::compare_nocase(r->filename, request.filename) == 0
                    : r->position == request.position)
            return r;
    }
    return nullptr;
}

int ArchiveTableCache::serve(const MemberRecord* table, void** copy, MemberRecord* request,
                             int missing) {
    if (copy) {
        size_t bytes = (table_count(table) + 1) * sizeof(MemberRecord);
        void* block = platform::alloc_block(bytes);
        if (!block) return kNoMemory;
        memcpy(block, table, bytes);
        *copy = block;
        return kOk;
    }
    const MemberRecord* found = select_record(table, *request);
    if (!found) return missing;
    memcpy(request, found, sizeof *request);
    return kOk;
}

int ArchiveTableCache::store(const wchar16* archive, platform::OwnedBlock table, void** copy,
                             MemberRecord* request, int missing) {
    platform::LockGuard guard(lock_);
    CacheSlot& slot = slots_[next_];
    slot.table = std::move(table);
    copy_bounded(slot.path, kPathChars, archive);
    next_ = (next_ + 1) % kCacheSlots;
    return serve(static_cast<const MemberRecord*>(slot.table.get()), copy, request, missing);
}

int ArchiveTableCache::lookup(const wchar16* archive, void** copy, MemberRecord* request,
                              int missing) {
    platform::LockGuard guard(lock_);
    for (int k = 1; k <= kCacheSlots; ++k) {
        const CacheSlot& slot = slots_[(next_ - k + kCacheSlots) % kCacheSlots];
        if (!slot.table) return kNotServed;
        if (platform::compare_nocase(slot.path, archive) == 0)
            return serve(static_cast<const MemberRecord*>(slot.table.get()), copy, request, missing);
    }
    return kNotServed;
}

void ArchiveTableCache::clear() {
    platform::LockGuard guard(lock_);
    for (CacheSlot& slot : slots_) slot.table.reset();
    next_ = 0;
}

namespace {
// Built by the runtime before the loader's first notification reaches us.
ArchiveTableCache g_cache;
}  // namespace

ArchiveTableCache& table_cache() { return g_cache; }
