#include "tables/cache.h"

#include <cstring>

#include "core/text.h"

namespace {

// A member's name as an ANSI host was shown it, back in wide text.
void ansi_form(const wchar16* name, wchar16 (&out)[kFieldChars]) {
    char ansi[kFieldChars];
    to_ansi(name, ansi, sizeof ansi);
    to_wide(ansi, out, kFieldChars);
}

}  // namespace

const MemberRecord* select_record(const MemberRecord* table, const MemberRecord& request, NameForm form) {
    bool by_name = request.filename[0] != 0;
    wchar16 shown[kFieldChars];
    for (const MemberRecord* r = table; !is_table_end(*r); ++r) {
        if (!by_name) {
            if (r->position == request.position) return r;
            continue;
        }
        const wchar16* name = r->filename;
        if (form == NameForm::kAnsi) {
            ansi_form(r->filename, shown);
            name = shown;
        }
        if (platform::compare_nocase(name, request.filename) == 0) return r;
    }
    return nullptr;
}

int ArchiveTableCache::serve(const MemberRecord* table, void** copy, MemberRecord* request, NameForm form,
                             int missing) {
    if (copy) {
        size_t bytes = (table_count(table) + 1) * sizeof(MemberRecord);
        void* block = platform::alloc_block(bytes);
        if (!block) return kNoMemory;
        memcpy(block, table, bytes);
        *copy = block;
        return kOk;
    }
    const MemberRecord* found = select_record(table, *request, form);
    if (!found) return missing;
    memcpy(request, found, sizeof *request);
    return kOk;
}

int ArchiveTableCache::store(const wchar16* archive, platform::OwnedBlock table, void** copy,
                             MemberRecord* request, NameForm form, int missing) {
    platform::LockGuard guard(lock_);
    CacheSlot& slot = slots_[next_];
    slot.table = std::move(table);
    copy_bounded(slot.path, kPathChars, archive);
    next_ = (next_ + 1) % kCacheSlots;
    return serve(static_cast<const MemberRecord*>(slot.table.get()), copy, request, form, missing);
}

int ArchiveTableCache::lookup(const wchar16* archive, void** copy, MemberRecord* request, NameForm form,
                              int missing) {
    platform::LockGuard guard(lock_);
    for (int k = 1; k <= kCacheSlots; ++k) {
        const CacheSlot& slot = slots_[(next_ - k + kCacheSlots) % kCacheSlots];
        if (!slot.table) return kNotServed;
        if (platform::compare_nocase(slot.path, archive) == 0)
            return serve(static_cast<const MemberRecord*>(slot.table.get()), copy, request, form, missing);
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
