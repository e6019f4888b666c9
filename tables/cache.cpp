#include "tables/cache.h"

#include <cstring>
#include <utility>

#include "driver/paths.h"

namespace {

// The same archive path, as the file system compares names.
bool same_archive(const WideString& held, const wchar16* archive) {
    return compare_paths_ordinal(held.data(), held.size(), archive, wide_len(archive)) == 0;
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
            through_ansi(r->filename, shown);
            name = shown;
        }
        if (platform::compare_nocase(name, request.filename) == 0) return r;
    }
    return nullptr;
}

int ArchiveTableCache::serve(const TableSlot& slot, void** copy, MemberRecord* request, NameForm form, int missing,
                             MemberSource* source) {
    const auto* table = static_cast<const MemberRecord*>(slot.listing.table.get());
    if (copy) {
        size_t bytes;
        if (!table_bytes(table_count(table), sizeof(MemberRecord), bytes)) return kNoMemory;
        void* block = platform::alloc_block(bytes);
        if (!block) return kNoMemory;
        memcpy(block, table, bytes);
        *copy = block;
        return kOk;
    }
    const MemberRecord* found = select_record(table, *request, form);
    if (!found) return missing;
    memcpy(request, found, sizeof *request);
    if (source) {
        const MemberPaths& paths = slot.listing.paths;
        source->tar_pipe = slot.listing.tar_pipe;
        source->table = slot.serial;
        source->kept = slot.kept;
        source->path.clear();
        source->alone = false;
        if (paths.complete() && found->position < paths.size()) {
            size_t len = 0;
            const wchar16* p = paths.path(found->position, len);
            try {
                source->path.assign(p, len);
            } catch (...) {
                return kNoMemory;
            }
            source->alone = paths.alone(found->position);
        }
    }
    return kOk;
}

ArchiveTableCache::TableSlot* ArchiveTableCache::held(const wchar16* archive) {
    // A store replaces what was held before: one table an archive at most.
    for (TableSlot& slot : tables_)
        if (slot.listing.table && same_archive(slot.archive, archive)) return &slot;
    return nullptr;
}

void ArchiveTableCache::drop(TableSlot& slot, std::shared_ptr<KeptMembers>& doomed) {
    slot.listing = Listing();
    doomed = std::move(slot.kept);
    slot.kept.reset();
}

Lookup ArchiveTableCache::lookup(const wchar16* archive, const TableKey& key, void** copy, MemberRecord* request,
                                 NameForm form, int missing, MemberSource* source) {
    std::shared_ptr<KeptMembers> doomed;
    platform::LockGuard guard(lock_);
    Lookup answer;
    TableSlot* slot = held(archive);
    if (!slot) return answer;
    if (!(slot->key == key)) {
        drop(*slot, doomed);
        answer.changed = true;
        return answer;
    }
    answer.held = true;
    answer.result = serve(*slot, copy, request, form, missing, source);
    return answer;
}

int ArchiveTableCache::store(const wchar16* archive, const TableKey& key, Listing listing, void** copy,
                             MemberRecord* request, NameForm form, int missing, MemberSource* source) {
    std::shared_ptr<KeptMembers> doomed[2];
    platform::LockGuard guard(lock_);
    if (TableSlot* old = held(archive)) drop(*old, doomed[0]);
    TableSlot& slot = tables_[next_table_];
    next_table_ = (next_table_ + 1) % kCacheSlots;
    drop(slot, doomed[1]);
    slot.serial = ++serial_;
    try {
        slot.archive = archive;
        slot.key = key;
    } catch (...) {
        slot.listing = Listing();
        return kNoMemory;
    }
    slot.listing = std::move(listing);
    return serve(slot, copy, request, form, missing, source);
}

bool ArchiveTableCache::holds(const wchar16* archive) {
    platform::LockGuard guard(lock_);
    return held(archive) != nullptr;
}

std::shared_ptr<KeptMembers> ArchiveTableCache::attach_kept(uint64_t table, std::shared_ptr<KeptMembers> fresh) {
    platform::LockGuard guard(lock_);
    for (TableSlot& slot : tables_) {
        if (!slot.listing.table || slot.serial != table) continue;
        if (!slot.kept) slot.kept = std::move(fresh);
        return slot.kept;
    }
    return nullptr;
}

bool ArchiveTableCache::verdict(const wchar16* archive, const FileIdentity& file, const WideString& exe,
                                bool& supported) {
    platform::LockGuard guard(lock_);
    for (VerdictSlot& slot : verdicts_) {
        if (!slot.used || !same_archive(slot.archive, archive)) continue;
        if (slot.file == file && slot.exe == exe) {
            supported = slot.supported;
            return true;
        }
        slot.used = false;
    }
    return false;
}

void ArchiveTableCache::remember_verdict(const wchar16* archive, const FileIdentity& file, const WideString& exe,
                                         bool supported) {
    platform::LockGuard guard(lock_);
    for (VerdictSlot& slot : verdicts_)
        if (slot.used && same_archive(slot.archive, archive)) slot.used = false;
    VerdictSlot& slot = verdicts_[next_verdict_];
    next_verdict_ = (next_verdict_ + 1) % kCacheSlots;
    try {
        slot.archive = archive;
        slot.exe = exe;
    } catch (...) {
        slot.used = false;
        return;
    }
    slot.file = file;
    slot.supported = supported;
    slot.used = true;
}

void ArchiveTableCache::clear() {
    std::shared_ptr<KeptMembers> doomed[kCacheSlots];
    platform::LockGuard guard(lock_);
    for (int i = 0; i < kCacheSlots; ++i) {
        drop(tables_[i], doomed[i]);
        tables_[i] = TableSlot();
    }
    for (VerdictSlot& slot : verdicts_) slot = VerdictSlot();
    next_table_ = 0;
    next_verdict_ = 0;
}

namespace {
// Built by the runtime before the loader's first notification reaches us.
ArchiveTableCache g_cache;
}  // namespace

ArchiveTableCache& table_cache() { return g_cache; }
