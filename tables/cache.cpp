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

namespace {

// Folder and file name, joined as a host joins them: a backslash between
// when the folder lacks one (it was cut short); '/' read as '\\'. Answers
// the length.
size_t joined(const wchar16* folder, const wchar16* name, wchar16 (&out)[2 * kFieldChars + 1]) {
    size_t n = 0;
    for (const wchar16* p = folder; *p; ++p) out[n++] = *p == '/' ? '\\' : *p;
    if (n > 0 && out[n - 1] != '\\') out[n++] = '\\';
    for (const wchar16* p = name; *p; ++p) out[n++] = *p == '/' ? '\\' : *p;
    out[n] = 0;
    return n;
}

bool same_name(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len) {
    return platform::compare_ordinal_nocase(a, a_len, b, b_len) == 0;
}

// A name without a folder is the full name of a member at the top, when
// there is one; else it names the first member of that file name.
const MemberRecord* by_file_name(const MemberRecord* table, const wchar16* wanted, NameForm form) {
    size_t wanted_len = wide_len(wanted);
    wchar16 shown[kFieldChars];
    const MemberRecord* first = nullptr;
    for (const MemberRecord* r = table; !is_table_end(*r); ++r) {
        const wchar16* name = r->filename;
        if (form == NameForm::kAnsi) {
            through_ansi(r->filename, shown);
            name = shown;
        }
        if (!same_name(name, wide_len(name), wanted, wanted_len)) continue;
        if (!r->path[0]) return r;
        if (!first) first = r;
    }
    return first;
}

// The one record whose folder and name are those asked for. Names that
// differ in case alone (or, in ANSI, only where the code page lacks a
// character) are told apart by their exact spelling; past that, nothing:
// a lookup never guesses between two members.
const MemberRecord* by_full_name(const MemberRecord* table, const MemberRecord& request, NameForm form) {
    wchar16 wanted[2 * kFieldChars + 1], name[2 * kFieldChars + 1];
    size_t wanted_len = joined(request.path, request.filename, wanted);
    wchar16 folder[kFieldChars], file[kFieldChars];
    const MemberRecord *found = nullptr, *exact = nullptr;
    size_t matches = 0, exacts = 0;
    for (const MemberRecord* r = table; !is_table_end(*r); ++r) {
        size_t len;
        if (form == NameForm::kAnsi) {
            folder_through_ansi(r->path, folder);
            through_ansi(r->filename, file);
            len = joined(folder, file, name);
        } else {
            len = joined(r->path, r->filename, name);
        }
        if (len != wanted_len || !same_name(name, len, wanted, wanted_len)) continue;
        ++matches;
        found = r;
        if (memcmp(name, wanted, len * sizeof(wchar16)) == 0) {
            ++exacts;
            exact = r;
        }
    }
    if (matches == 1) return found;
    return exacts == 1 ? exact : nullptr;
}

}  // namespace

const MemberRecord* select_record(const MemberRecord* table, const MemberRecord& request, NameForm form) {
    if (request.path[0]) return by_full_name(table, request, form);
    if (request.filename[0]) return by_file_name(table, request.filename, form);
    for (const MemberRecord* r = table; !is_table_end(*r); ++r)
        if (r->position == request.position) return r;
    return nullptr;
}

int ArchiveTableCache::serve(const TableSlot& slot, void** copy, MemberRecord* request, NameForm form, int missing,
                             MemberSource* source) {
    const auto* table = static_cast<const MemberRecord*>(slot.listing.table.get());
    if (source) {
        source->tar_pipe = slot.listing.tar_pipe;
        source->table = slot.serial;
        source->kept = slot.kept;
        source->path.clear();
        source->alone = false;
    }
    if (copy) {
        size_t bytes;
        if (!table_bytes(table_count(table), sizeof(MemberRecord), bytes)) return kNoMemory;
        void* block = platform::alloc_block(bytes);
        if (!block) return kNoMemory;
        memcpy(block, table, bytes);
        *copy = block;
        return kOk;
    }
    if (!request) return kOk;
    const MemberRecord* found = select_record(table, *request, form);
    if (!found) return missing;
    memcpy(request, found, sizeof *request);
    if (source) {
        const MemberPaths& paths = slot.listing.paths;
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

void ArchiveTableCache::drop_stale(const wchar16* archive, const TableKey& key) {
    std::shared_ptr<KeptMembers> doomed;
    platform::LockGuard guard(lock_);
    TableSlot* slot = held(archive);
    if (slot && !(slot->key == key)) drop(*slot, doomed);
}

Lookup ArchiveTableCache::lookup(const wchar16* archive, const TableKey& key, bool tested, void** copy,
                                 MemberRecord* request, NameForm form, int missing, MemberSource* source) {
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
    if (tested && !slot->tested) return answer;
    answer.held = true;
    answer.result = serve(*slot, copy, request, form, missing, source);
    return answer;
}

int ArchiveTableCache::store(const wchar16* archive, const TableKey& key, bool tested, Listing listing, void** copy,
                             MemberRecord* request, NameForm form, int missing, MemberSource* source) {
    std::shared_ptr<KeptMembers> doomed;
    platform::LockGuard guard(lock_);
    // The archive's own slot when it has one; else an empty one, else the
    // one stored longest ago. A new table of one archive never costs
    // another archive its own.
    TableSlot* slot = held(archive);
    if (!slot) {
        slot = &tables_[0];
        for (TableSlot& other : tables_) {
            if (!other.listing.table) {
                slot = &other;
                break;
            }
            if (other.serial < slot->serial) slot = &other;
        }
    }
    drop(*slot, doomed);
    slot->serial = ++serial_;
    try {
        slot->archive = archive;
        slot->key = key;
    } catch (...) {
        slot->listing = Listing();
        return kNoMemory;
    }
    slot->tested = tested;
    slot->listing = std::move(listing);
    return serve(*slot, copy, request, form, missing, source);
}

bool ArchiveTableCache::holds(const wchar16* archive) {
    platform::LockGuard guard(lock_);
    return held(archive) != nullptr;
}

bool ArchiveTableCache::holds(const wchar16* archive, const TableKey& key) {
    platform::LockGuard guard(lock_);
    TableSlot* slot = held(archive);
    return slot && slot->key == key;
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
    next_verdict_ = 0;
}

namespace {
// Built by the runtime before the loader's first notification reaches us.
ArchiveTableCache g_cache;
}  // namespace

ArchiveTableCache& table_cache() { return g_cache; }
