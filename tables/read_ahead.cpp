#include "tables/read_ahead.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "core/handle.h"
#include "driver/commands.h"
#include "driver/owner.h"
#include "driver/paths.h"
#include "driver/runner.h"
#include "driver/scratch.h"

namespace {

// After a jump a window is the member asked for alone, so a page asked for
// out of order costs what it would without reading ahead. It grows fourfold
// each time the host walks past its end: a run costs about as much to start
// as a hundred members cost to bring out, so few runs make a whole album.
// Up to the most members and bytes one run may bring: beyond that a page
// would wait noticeably longer than it does for one member
// (docs/performance.md).
const size_t kFirstWindow = 1;
const size_t kGrowth = 4;
const size_t kMostWindow = 256;
const uint64_t kMostRunBytes = 24ull << 20;

struct KeptFile {
    WideString file;
    uint64_t size = 0;
    bool has_crc = false;
    uint32_t crc = 0;
    uint64_t used = 0;  // when last served or brought out, for the budget
    std::shared_ptr<ScratchFolder> folder;  // the run's folder goes with its last member
};

// Every archive's kept members under one lock, never held while 7-Zip
// runs; the condition wakes those waiting for a window run to end.
struct Shared {
    Shared() {
        InitializeCriticalSection(&lock);
        InitializeConditionVariable(&ended);
    }
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE ended;
    std::vector<KeptMembers*> all;
    uint64_t bytes = 0;
    uint64_t tick = 0;
};

// Never destroyed: a table the module's statics release last may still
// hold kept members then.
Shared& shared() {
    static Shared* s = new Shared;
    return *s;
}

struct Locked {
    Locked() { EnterCriticalSection(&shared().lock); }
    ~Locked() { LeaveCriticalSection(&shared().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

void remove_file(const WideString& file) {
    WideString p = extended_path(file);
    // Members stored read-only come out read-only.
    SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(p.c_str());
}

void discard(std::vector<KeptFile>& doomed) {
    for (const KeptFile& f : doomed) remove_file(f.file);
    doomed.clear();
}

uint32_t crc32_of(const unsigned char* p, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// A kept file's bytes, when it is still exactly what the listing said.
bool read_kept(const KeptFile& f, platform::OwnedBlock& bytes, size_t& length) {
    platform::OwnedBlock block;
    if (read_file_bytes(f.file, f.size, block) != kOk) return false;
    size_t want = static_cast<size_t>(f.size);
    if (f.has_crc && crc32_of(static_cast<const unsigned char*>(block.get()), want) != f.crc) return false;
    bytes = std::move(block);
    length = want;
    return true;
}

ResultCode extract_alone(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                         const MemberSource& source, FetchWatch* watch, platform::OwnedBlock& bytes,
                         size_t& length) {
    ExtractedMember member;
    ResultCode rc = extract_path(setup, archive, source.path, record.filesize, source.tar_pipe, member, watch);
    return rc != kOk ? rc : member.read(bytes, length);
}

struct Planned {
    size_t position;
    WideString path;
    uint64_t size;
    bool has_crc;
    uint32_t crc;
};

// A window: its members, in the host's direction, and the folder of its
// own they come out into.
struct Window {
    std::shared_ptr<ScratchFolder> folder;
    std::vector<Planned> plan;
    uint64_t bytes = 0;  // all its members', which the host follows coming out

    bool covers(size_t p) const {
        for (const Planned& m : plan)
            if (m.position == p) return true;
        return false;
    }
};

// A window run started when a page was handed over, while the host looks
// at it: nobody waits for it until a member of its window is asked for.
// Dropped unfinished, it is ended before its folder goes.
struct Background {
    Window window;
    StartedRun run;
};

}  // namespace

// The members kept for one table, and where its host has been going.
class KeptMembers {
public:
    KeptMembers() {
        Locked l;
        shared().all.push_back(this);
    }
    ~KeptMembers() {
        std::map<size_t, KeptFile> gone;
        {
            Locked l;
            std::vector<KeptMembers*>& all = shared().all;
            all.erase(std::remove(all.begin(), all.end(), this), all.end());
            for (const auto& f : files) shared().bytes -= f.second.size;
            gone.swap(files);
        }
        // Each run's folder goes with the last of its members, files and all.
    }
    KeptMembers(const KeptMembers&) = delete;
    KeptMembers& operator=(const KeptMembers&) = delete;

    std::map<size_t, KeptFile> files;  // by position
    bool running = false;              // a window run for this table is under way, or being started
    std::unique_ptr<Background> background;
    size_t forward = kFirstWindow;
    size_t backward = kFirstWindow;
    size_t last = SIZE_MAX;            // the page handed over last
};

namespace {

// Under the lock: the least recently used go until the rest fit the budget.
std::vector<KeptFile> trim_locked(uint64_t budget) {
    Shared& s = shared();
    std::vector<KeptFile> doomed;
    if (s.bytes <= budget) return doomed;
    struct Candidate {
        uint64_t used;
        KeptMembers* owner;
        size_t position;
    };
    std::vector<Candidate> order;
    for (KeptMembers* k : s.all)
        for (const auto& f : k->files) order.push_back({f.second.used, k, f.first});
    std::sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) { return a.used < b.used; });
    for (const Candidate& c : order) {
        if (s.bytes <= budget) break;
        auto it = c.owner->files.find(c.position);
        s.bytes -= it->second.size;
        doomed.push_back(std::move(it->second));
        c.owner->files.erase(it);
    }
    return doomed;
}

// Clears the table's run mark however the run ends, and wakes its waiters.
struct RunMark {
    explicit RunMark(KeptMembers& k) : kept(k) {}
    ~RunMark() {
        Locked l;
        kept.running = false;
        WakeAllConditionVariable(&shared().ended);
    }
    RunMark(const RunMark&) = delete;
    RunMark& operator=(const RunMark&) = delete;
    KeptMembers& kept;
};

enum class Claim { kKept, kCollect, kRun };

// The member kept at p (kKept, and a copy of it), waiting for a window run
// of the table to end first. Else a run started in the background is
// handed over: to be waited for when its window holds p (kCollect), to be
// ended when the host has gone elsewhere. Else this caller's window run is
// marked as under way (kRun), and how many members it may take, and which
// way.
Claim claim(KeptMembers& k, size_t p, KeptFile& hit, std::unique_ptr<Background>& background, size_t& want,
            int& step) {
    Shared& s = shared();
    Locked l;
    for (;;) {
        auto it = k.files.find(p);
        if (it != k.files.end()) {
            it->second.used = ++s.tick;
            hit = it->second;
            return Claim::kKept;
        }
        if (!k.running) break;
        SleepConditionVariableCS(&s.ended, &s.lock, INFINITE);
    }
    background = std::move(k.background);
    if (background && background->window.covers(p)) {
        k.running = true;
        return Claim::kCollect;
    }
    // Asked for the member past either end of what is kept, the host is
    // going on that way: a longer window. Anywhere else is a jump.
    if (p > 0 && k.files.count(p - 1)) {
        k.forward = std::min(k.forward * kGrowth, kMostWindow);
        want = k.forward;
        step = 1;
    } else if (k.files.count(p + 1)) {
        k.backward = std::min(k.backward * kGrowth, kMostWindow);
        want = k.backward;
        step = -1;
    } else {
        k.forward = k.backward = kFirstWindow;
        want = kFirstWindow;
        step = 1;
    }
    k.running = true;
    return Claim::kRun;
}

// The window's members from the table: p first, then on in the host's
// direction, only those 7-Zip can bring out alone into the folder, within
// the bytes (of a run, and a share of the budget) and the command line one
// run may take. The page asked for was looked at already; a window read on
// in the background (`ahead`) looks at its first member too.
bool plan_window(const MemberSource& source, size_t p, size_t want, int step, uint64_t budget, size_t line,
                 bool ahead, std::vector<Planned>& plan) {
    return table_cache().with_table(source.table, [&](const Listing& listing) {
        const auto* table = static_cast<const MemberRecord*>(listing.table.get());
        const MemberPaths& paths = listing.paths;
        if (!paths.complete() || p >= paths.size()) return;
        // In a solid block the run decodes the members before p anyway.
        // Going backward, those cost no more than their writing; going on,
        // a run may bring as many members as it decodes to reach p, and
        // twice their bytes, and the page waits at most three times what p
        // alone would (never more members than any run: small ones cost
        // their files more than their decoding). After a jump, p alone.
        uint64_t decoded = 0;
        size_t before = 0;
        const uint32_t block = paths.block(p);
        if (block != kNoBlock)
            for (size_t q = p; q-- > 0 && paths.block(q) == block; ++before) decoded += table[q].filesize;
        uint64_t most_bytes = std::min(kMostRunBytes, budget / 4);
        if (decoded > 0) {
            most_bytes = std::max(most_bytes, std::min(step < 0 ? decoded : 2 * decoded, budget / 2));
            if (step < 0)
                want = kMostWindow;
            else if (want > kFirstWindow)
                want = std::max(want, std::min(before, kMostWindow));
        }
        uint64_t bytes = 0;
        // Going backward, q wraps past 0 to a value the size check ends.
        for (size_t n = 0, q = p; n < want && q < paths.size(); ++n, q += static_cast<size_t>(step)) {
            size_t len = 0;
            const wchar16* text = paths.path(q, len);
            WideString path(text, len);
            uint64_t size = table[q].filesize;
            if (q != p || ahead) {
                if (!paths.alone(q) || !is_contained_path(path.c_str())) continue;
                if (bytes + size > most_bytes || line + include_length(path) >= kMaxCommandLine) break;
            }
            Planned m{q, path, size, false, 0};
            m.has_crc = paths.crc(q, m.crc);
            bytes += size;
            line += include_length(path);
            plan.push_back(std::move(m));
        }
    });
}

// The window from `from` on in a folder of its own, ending before the
// first member kept already (a page asked for is not, and may be the
// first); false when it holds nothing to run.
bool make_window(const Setup& setup, const wchar16* archive, const MemberSource& source, KeptMembers& kept,
                 size_t from, size_t want, int step, uint64_t budget, bool ahead, Window& window) {
    wchar_t work[kPathChars];
    window.folder = std::make_shared<ScratchFolder>();
    if (!setup.found() || !ensure_work_area(work) || !window.folder->make(work, kKeptKind)) return false;
    size_t line = wide_len(setup.exe) * 2 + wide_len(archive) + window.folder->path().size() + 64;
    std::vector<Planned>& plan = window.plan;
    if (!plan_window(source, from, want, step, budget, line, ahead, plan)) return false;
    {
        Locked l;
        for (size_t i = ahead ? 0 : 1; i < plan.size(); ++i)
            if (kept.files.count(plan[i].position)) {
                plan.resize(i);
                break;
            }
    }
    for (const Planned& m : plan) window.bytes += m.size;
    return !plan.empty();
}

// The run that brings a window out.
ArchiverRun window_run(const Setup& setup, const wchar16* archive, const MemberSource& source,
                       const Window& window) {
    std::vector<WideString> paths;
    for (const Planned& m : window.plan) paths.push_back(m.path);
    return with_password(extract_run(setup.exe, archive, window.folder->path().c_str(), paths, source.tar_pipe), setup);
}

// Where 7-Zip writes a member: its listed path below the folder.
WideString listed_file(const WideString& folder, const WideString& path) {
    WideString file = folder + L"\\" + path;
    std::replace(file.begin() + static_cast<ptrdiff_t>(folder.size()), file.end(), L'/', L'\\');
    return file;
}

typedef std::vector<std::pair<size_t, KeptFile>> Found;

// What a window run brought out to keep: each member found exactly at its
// listed path, a plain file of the listed size; its bytes are checked
// against the CRC when served.
Found gather(const std::vector<Planned>& plan, const std::shared_ptr<ScratchFolder>& folder) {
    Found found;
    for (const Planned& m : plan) {
        WideString file = listed_file(folder->path(), m.path);
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (!GetFileAttributesExW(extended_path(file).c_str(), GetFileExInfoStandard, &a)) continue;
        uint64_t size = (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
        if ((a.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) || size != m.size) {
            if (!(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) remove_file(file);
            continue;
        }
        KeptFile f;
        f.file = file;
        f.size = size;
        f.has_crc = m.has_crc;
        f.crc = m.crc;
        f.folder = folder;
        found.emplace_back(m.position, std::move(f));
    }
    return found;
}

// Adds what a run found to the table's kept members, within the budget;
// the farthest from the page asked for go first when it is short.
void keep(KeptMembers& kept, Found& found, uint64_t budget) {
    std::vector<KeptFile> doomed;
    {
        Locked l;
        Shared& s = shared();
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            it->second.used = ++s.tick;
            if (kept.files.count(it->first)) continue;
            s.bytes += it->second.size;
            kept.files.emplace(it->first, std::move(it->second));
        }
        doomed = trim_locked(budget);
    }
    discard(doomed);
}

// Waits for a run started in the background and keeps what it brought.
// The host follows the whole window's bytes coming out, and may stop it:
// kAborted, and nothing of it is kept.
ResultCode collect(KeptMembers& kept, Background& background, FetchWatch* watch, uint64_t budget) {
    FetchWatch window(watch ? watch->progress() : nullptr, background.window.bytes);
    window.watch(background.window.folder.get());
    bool ran = background.run.finish(window.observer()).succeeded();
    window.watch(nullptr);
    if (window.stopped()) return kAborted;
    // A run that did not end well may have left files whose listed length
    // hides missing bytes: nothing of it is kept.
    if (!ran) return kOk;
    Found found = gather(background.window.plan, background.window.folder);
    keep(kept, found, budget);
    return kOk;
}

// A kept page handed over right after its neighbour: the host is going
// through the listing one way. The next window past what is kept that way
// is started now, in the background, while the host looks at the pages it
// has; nobody waits for it until a member of it is asked for. One such run
// a table at a time, and none while a window run is under way.
void read_on(const Setup& setup, const wchar16* archive, const MemberSource& source, KeptMembers& kept, size_t p,
             uint64_t budget) {
    size_t from = p, want = 0;
    int step = 0;
    {
        Locked l;
        const size_t last = kept.last;
        kept.last = p;
        if (kept.running || kept.background || last == SIZE_MAX) return;
        if (p == last + 1)
            step = 1;
        else if (p + 1 == last)
            step = -1;
        else
            return;
        // Going backward, from wraps past 0 to a position no table has.
        while (kept.files.count(from)) from += static_cast<size_t>(step);
        size_t& window = step > 0 ? kept.forward : kept.backward;
        window = std::min(window * kGrowth, kMostWindow);
        want = window;
        kept.running = true;
    }
    RunMark mark(kept);
    auto background = std::make_unique<Background>();
    if (!make_window(setup, archive, source, kept, from, want, step, budget, true, background->window) ||
        !background->run.start(setup.exe, window_run(setup, archive, source, background->window), nullptr))
        return;
    Locked l;
    kept.background = std::move(background);
}

// The window run claimed for page p: it brings the page out with the
// window, waited for, and keeps the rest.
ResultCode run_window(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                      const MemberSource& source, KeptMembers& kept, size_t want, int step, uint64_t budget,
                      FetchWatch* watch, platform::OwnedBlock& bytes, size_t& length) {
    RunMark mark(kept);
    const size_t p = record.position;
    {
        Locked l;
        kept.last = p;
    }
    Window planned;
    if (!make_window(setup, archive, source, kept, p, want, step, budget, false, planned))
        return extract_alone(setup, archive, record, source, watch, bytes, length);
    // The host follows the whole window's bytes coming out.
    FetchWatch window(watch ? watch->progress() : nullptr, planned.bytes);
    window.watch(planned.folder.get());
    bool ran = run_archiver(setup.exe, window_run(setup, archive, source, planned), nullptr, window.observer())
                   .succeeded();
    window.watch(nullptr);
    if (window.stopped()) return kAborted;

    // A run that did not end well may have left files whose listed length
    // hides missing bytes: nothing of it is kept.
    Found found;
    if (ran) found = gather(planned.plan, planned.folder);
    bool served = false;
    if (!found.empty() && found.front().first == p) {
        served = read_kept(found.front().second, bytes, length);
        if (!served) {
            remove_file(found.front().second.file);
            found.erase(found.begin());
        }
    }
    keep(kept, found, budget);
    if (served) return kOk;
    return extract_alone(setup, archive, record, source, watch, bytes, length);
}

}  // namespace

void trim_kept(uint64_t budget) {
    std::vector<KeptFile> doomed;
    std::vector<std::unique_ptr<Background>> ended;
    {
        Locked l;
        doomed = trim_locked(budget);
        // Nothing to be kept: runs in the background end as well.
        if (budget == 0)
            for (KeptMembers* k : shared().all)
                if (k->background) ended.push_back(std::move(k->background));
    }
    ended.clear();
    discard(doomed);
}

ResultCode fetch_ahead(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                       const MemberSource& source, FetchWatch* watch, platform::OwnedBlock& bytes, size_t& length) {
    // A name leading out of the work folder is never extracted.
    if (!is_contained_path(source.path.c_str())) return kReadError;
    const uint64_t budget = static_cast<uint64_t>(setup.settings.aheadMB) << 20;
    std::shared_ptr<KeptMembers> kept = source.kept;
    if (!kept) kept = table_cache().attach_kept(source.table, std::make_shared<KeptMembers>());
    if (!kept) return extract_alone(setup, archive, record, source, watch, bytes, length);
    const size_t p = record.position;

    KeptFile hit;
    size_t want = 0;
    int step = 1;
    for (;;) {
        std::unique_ptr<Background> background;
        Claim c = claim(*kept, p, hit, background, want, step);
        if (c == Claim::kKept) break;
        if (c == Claim::kRun) {
            // The host went elsewhere: what was started for it ends unseen.
            background.reset();
            return run_window(setup, archive, record, source, *kept, want, step, budget, watch, bytes, length);
        }
        ResultCode rc;
        {
            RunMark mark(*kept);
            rc = collect(*kept, *background, watch, budget);
        }
        if (rc != kOk) return rc;
    }
    if (read_kept(hit, bytes, length)) {
        read_on(setup, archive, source, *kept, p, budget);
        return kOk;
    }
    // Not what the listing said (changed on disk since): dropped, and the
    // member brought out on its own.
    {
        Locked l;
        auto it = kept->files.find(p);
        if (it != kept->files.end() && it->second.file == hit.file) {
            shared().bytes -= it->second.size;
            kept->files.erase(it);
        }
    }
    remove_file(hit.file);
    return extract_alone(setup, archive, record, source, watch, bytes, length);
}
