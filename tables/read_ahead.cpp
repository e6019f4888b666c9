#include "tables/read_ahead.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
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
// out of order costs what it would without reading ahead. It grows
// sixteenfold each time the host walks past its end: a run costs about as
// much to start as a hundred members cost to bring out, so few runs make a
// whole album. A window comes out in the background, its page handed over
// once whole, or brought out on its own when 7-Zip has many members to
// write before it (going back, the page is the last its window writes).
// Up to the most members and bytes one run may bring where a page waits for
// its whole window, having no CRC-32 to tell it whole: beyond that it would
// wait noticeably longer than it does for one member (docs/performance.md).
// A window whose page has a CRC-32 may take a quarter of the budget.
const size_t kFirstWindow = 1;
const size_t kGrowth = 16;
const size_t kMostWindow = 256;
const uint64_t kMostRunBytes = 24ull << 20;
// A whole album whose pages have a CRC-32 may have more members: a host
// going back through it finds its pages kept only once the run has ended,
// each page meanwhile brought out on its own, so the run stays short.
const size_t kMostAlbum = 512;

// A page waits for a run under way that has at most this many members, and
// bytes, to write before it: about what a run of its own costs to start.
const size_t kNearMembers = 32;
const uint64_t kNearBytes = 8ull << 20;
// In a solid block a run of its own decodes every member before the page
// too: only the writing of many small files is saved by not waiting.
const uint64_t kSmallMember = 1ull << 20;

// A kept member: a file of its own, or its part of its window's stream.
struct KeptFile {
    WideString file;
    uint64_t offset = 0;  // where its bytes start in the file
    uint64_t length = 0;  // the whole file's
    uint64_t size = 0;
    CrcKind check = CrcKind::kNone;
    uint32_t crc = 0;
    uint64_t used = 0;    // when last served or brought out, for the budget
    bool stream = false;  // its file holds its whole window, kept and dropped together
    std::shared_ptr<ScratchFolder> folder;  // the run's folder goes with its last member
};

// Every archive's kept members and the disk set aside for runs, under one
// lock (read_ahead.h says what it is never held across).
struct Shared {
    Shared() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::vector<KeptMembers*> all;
    uint64_t kept = 0;      // the bytes of every kept member
    uint64_t reserved = 0;  // the bytes runs under way may still write
    uint64_t tick = 0;
};

// Never destroyed: a table the module's statics release last may still
// hold kept members then.
Shared& shared() {
    static Shared* s = new Shared;
    return *s;
}

// The lock is a critical section: the thread holding it may take it again.
struct Locked {
    Locked() { EnterCriticalSection(&shared().lock); }
    ~Locked() { LeaveCriticalSection(&shared().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// Disk set aside for a run, counted against the budget from before the run
// starts until what it wrote is kept or gone.
class Reservation {
public:
    Reservation() = default;
    ~Reservation() { release(); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    // Under the lock.
    void add(uint64_t bytes) {
        bytes_ += bytes;
        shared().reserved += bytes;
    }
    void take_from(Reservation& other) {
        bytes_ += other.bytes_;
        other.bytes_ = 0;
    }
    void release() {
        Locked l;
        shared().reserved -= bytes_;
        bytes_ = 0;
    }

private:
    uint64_t bytes_ = 0;
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

// The check a listing gives of a member's bytes, taken piece by piece: the
// CRC-32 most formats keep, or LHA's 16-bit CRC (the same reflected
// algorithm on another polynomial, starting from 0 and not inverted).
class Checksum {
public:
    explicit Checksum(CrcKind kind) : kind_(kind), value_(kind == CrcKind::kCrc32 ? 0xFFFFFFFFu : 0) {}
    // Four bytes a step (each table takes a byte on by one more place), so
    // checking a page costs little beside reading it.
    void add(const void* bytes, size_t n) {
        if (kind_ == CrcKind::kNone) return;
        const Tables& t = kind_ == CrcKind::kCrc32 ? tables_of<0xEDB88320u>() : tables_of<0xA001u>();
        const auto* p = static_cast<const unsigned char*>(bytes);
        uint32_t c = value_;
        for (; n >= 4; n -= 4, p += 4) {
            c ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                 static_cast<uint32_t>(p[3]) << 24;
            c = t[3][c & 0xFF] ^ t[2][(c >> 8) & 0xFF] ^ t[1][(c >> 16) & 0xFF] ^ t[0][c >> 24];
        }
        for (; n > 0; --n, ++p) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
        value_ = c;
    }
    bool matches(uint32_t listed) const {
        if (kind_ == CrcKind::kCrc32) return (value_ ^ 0xFFFFFFFFu) == listed;
        return kind_ == CrcKind::kNone || value_ == listed;
    }

private:
    typedef std::array<std::array<uint32_t, 256>, 4> Tables;
    template <uint32_t kPolynomial>
    static const Tables& tables_of() {
        static const Tables tables = [] {
            Tables t{};
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (kPolynomial & (0u - (c & 1)));
                t[0][i] = c;
            }
            for (size_t k = 1; k < 4; ++k)
                for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
            return t;
        }();
        return tables;
    }

    CrcKind kind_;
    uint32_t value_;
};

// Where a fetched member goes: a new file at target, else a new block.
struct Output {
    const WideString* target;
    platform::OwnedBlock& bytes;
    size_t& length;
};

// The host's last word before a member is handed over: it may still stop.
bool wanted_at_the_end(FetchWatch* watch, uint64_t size) {
    FetchProgress* progress = watch ? watch->progress() : nullptr;
    return !progress || progress->report(size, size);
}

// A kept member's file opened at the start of its bytes. Finished: exactly
// as long as when it was kept; a file of its own also shut by its writer
// (7-Zip sizes a file first and holds it open until it is whole), and
// nobody may write it while it is read. A stream still being written need
// only hold the member's bytes already; a stream is written through 7-Zip's
// standard output, which Wine's console host may hold a while after.
FileHandle open_kept(const KeptFile& f, bool finished) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE | (f.stream ? FILE_SHARE_WRITE : 0);
    FileHandle in(CreateFileW(extended_path(f.file).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER on_disk, start;
    start.QuadPart = static_cast<LONGLONG>(f.offset);
    if (!in.valid() || !GetFileSizeEx(in.get(), &on_disk)) return FileHandle();
    const uint64_t length = static_cast<uint64_t>(on_disk.QuadPart);
    if ((finished ? length != f.length : length < f.offset + f.size) ||
        !SetFilePointerEx(in.get(), start, nullptr, FILE_BEGIN))
        return FileHandle();
    return in;
}

// Exactly n bytes from where the file stands.
bool read_exactly(HANDLE in, char* to, size_t n) {
    while (n > 0) {
        DWORD got = 0;
        if (!ReadFile(in, to, static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), &got, nullptr) || got == 0)
            return false;
        to += got;
        n -= got;
    }
    return true;
}

// A kept member copied piece by piece into a new file at target, its bytes
// checked on the way. kReadError (and no file at target) when it is not
// what the listing said.
ResultCode copy_kept(HANDLE in, const KeptFile& f, const WideString& target) {
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(f.size, 1u << 20)));
    const WideString out_path = extended_path(target);
    FileHandle out(CreateFileW(out_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    if (!out.valid()) return kWriteError;
    Checksum sum(f.check);
    ResultCode rc = kOk;
    for (uint64_t left = f.size; rc == kOk && left > 0;) {
        const DWORD want = static_cast<DWORD>(std::min<uint64_t>(left, buffer.size()));
        DWORD put = 0;
        if (!read_exactly(in, buffer.data(), want))
            rc = kReadError;
        else if (!WriteFile(out.get(), buffer.data(), want, &put, nullptr) || put != want)
            rc = kWriteError;
        sum.add(buffer.data(), want);
        left -= want;
    }
    if (rc == kOk && !sum.matches(f.crc)) rc = kReadError;
    if (rc != kOk) {
        out.reset();
        DeleteFileW(out_path.c_str());
    }
    return rc;
}

// A kept member handed over as the call asks (see open_kept for
// `finished`). kReadError, with nothing handed over, when it is not what
// the listing said (changed on disk since).
ResultCode deliver_kept(const KeptFile& f, FetchWatch* watch, Output& out, bool finished = true) {
    FileHandle in = open_kept(f, finished);
    if (!in.valid()) return kReadError;
    if (out.target) return wanted_at_the_end(watch, f.size) ? copy_kept(in.get(), f, *out.target) : kAborted;
    const size_t length = static_cast<size_t>(f.size);
    platform::OwnedBlock block(platform::alloc_block(length));
    if (!block) return kNoMemory;
    if (!read_exactly(in.get(), static_cast<char*>(block.get()), length)) return kReadError;
    Checksum sum(f.check);
    sum.add(block.get(), length);
    if (!sum.matches(f.crc)) return kReadError;
    if (!wanted_at_the_end(watch, f.size)) return kAborted;
    out.bytes = std::move(block);
    out.length = length;
    return kOk;
}

// The member brought out by a run of its own, found as the one file of it.
ResultCode extract_alone(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                         const MemberSource& source, FetchWatch* watch, Output& out) {
    ExtractedMember member;
    ResultCode rc = extract_path(setup, archive, source.path, record.filesize, source.tar_pipe, member, watch,
                                 out.target ? Into::kFile : Into::kBytes);
    if (rc != kOk) return rc;
    if (!wanted_at_the_end(watch, record.filesize)) return kAborted;
    if (out.target) return member.move_to(*out.target);
    return member.read(out.bytes, out.length);
}

struct Planned {
    size_t position;
    WideString path;     // as listed, for the command line
    WideString written;  // where 7-Zip writes it below the window's folder
    uint64_t size;
    CrcKind check;
    uint32_t crc;
    uint64_t offset;     // where it starts in the window's stream
};

bool by_position(const Planned* a, const Planned* b) { return a->position < b->position; }

// A window: its members, in the host's direction, and the folder of its
// own they come out into: as files, or where every member has a CRC-32 to
// tell its bytes by, as one stream from 7-Zip's standard output, the
// members one after another in the archive's order (7-Zip then makes no
// file of each, most of what a run costs beside the decoding).
struct Window {
    std::shared_ptr<ScratchFolder> folder;
    std::vector<Planned> plan;
    uint64_t bytes = 0;  // all its members', which the host follows coming out
    int step = 1;        // the host's direction
    bool solid = false;  // its page's run decodes the members before it in a block
    uint64_t beyond = 0;  // the bytes of its page, come out beyond the budget
    WideString stream;   // the stream's file; empty for files

    const wchar16* output() const { return stream.empty() ? nullptr : stream.c_str(); }
    // A member's part of the stream, as it is kept.
    KeptFile part(const Planned& m) const {
        KeptFile f;
        f.file = stream;
        f.offset = m.offset;
        f.length = bytes;
        f.size = m.size;
        f.check = m.check;
        f.crc = m.crc;
        f.stream = true;
        f.folder = folder;
        return f;
    }

    bool covers(size_t p) const {
        for (const Planned& m : plan)
            if (m.position == p) return true;
        return false;
    }
    // p is the page right past the window's end: the host is going on.
    bool followed_by(size_t p) const {
        return !plan.empty() && p == plan.back().position + static_cast<size_t>(step);
    }
};

// A window run started when a page was handed over, while the host looks
// at it: nobody waits for it until a member of its window is asked for.
// Dropped unfinished, it is ended before its folder goes, and its disk
// given back last.
struct Background {
    Reservation reserved;
    Window window;
    StartedRun run;
    bool album = false;  // a whole small album, started as its table was handed over
};

// The call running a window of a table, or collecting its run in the
// background: its thread (a handle, to see that a host ended it midway),
// the disk its run may write, and the folder it writes into.
struct Runner {
    DWORD thread = 0;
    KernelHandle handle;
    Reservation reserved;
    WideString folder;
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
            for (const auto& f : files) shared().kept -= f.second.size;
            gone.swap(files);
        }
        // Each run's folder goes with the last of its members, files and all.
    }
    KeptMembers(const KeptMembers&) = delete;
    KeptMembers& operator=(const KeptMembers&) = delete;

    std::map<size_t, KeptFile> files;  // by position
    std::unique_ptr<Runner> runner;    // a window run of this table under way, or being started
    std::unique_ptr<Background> background;
    size_t forward = kFirstWindow;
    size_t backward = kFirstWindow;
    size_t last = SIZE_MAX;  // the page handed over last
    bool album_started = false;  // the whole album's run was started once already
};

namespace {

// Under the lock: the member kept at `at` goes, with every other member of
// its stream when it has one, their bytes given back; their file once into
// doomed.
void drop_locked(KeptMembers& k, std::map<size_t, KeptFile>::iterator at, std::vector<KeptFile>& doomed) {
    Shared& s = shared();
    if (at->second.stream)
        for (auto it = k.files.begin(); it != k.files.end();) {
            if (it != at && it->second.stream && it->second.folder == at->second.folder) {
                s.kept -= it->second.size;
                it = k.files.erase(it);
            } else {
                ++it;
            }
        }
    s.kept -= at->second.size;
    doomed.push_back(std::move(at->second));
    k.files.erase(at);
}

// Under the lock: the least recently used go until the rest take at most
// `room` bytes; a stream whole, once none of its members was used later.
std::vector<KeptFile> trim_locked(uint64_t room) {
    Shared& s = shared();
    std::vector<KeptFile> doomed;
    if (s.kept <= room) return doomed;
    struct Candidate {
        uint64_t used;
        KeptMembers* owner;
        size_t position;
    };
    std::vector<Candidate> order;
    std::map<const ScratchFolder*, size_t> streams;  // each stream's candidate
    for (KeptMembers* k : s.all)
        for (const auto& f : k->files) {
            if (f.second.stream) {
                auto seen = streams.emplace(f.second.folder.get(), order.size());
                if (!seen.second) {
                    Candidate& c = order[seen.first->second];
                    c.used = std::max(c.used, f.second.used);
                    continue;
                }
            }
            order.push_back({f.second.used, k, f.first});
        }
    std::sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) { return a.used < b.used; });
    for (const Candidate& c : order) {
        if (s.kept <= room) break;
        drop_locked(*c.owner, c.owner->files.find(c.position), doomed);
    }
    return doomed;
}

// Under the lock: what the budget leaves beside the runs under way.
uint64_t room_in(uint64_t budget) {
    const uint64_t reserved = shared().reserved;
    return budget > reserved ? budget - reserved : 0;
}

// Under the lock: this call's thread runs the table's window from now on.
void mark_runner(KeptMembers& k) {
    k.runner.reset(new Runner);
    k.runner->thread = GetCurrentThreadId();
    k.runner->handle.reset(OpenThread(SYNCHRONIZE, FALSE, k.runner->thread));
}

// Clears this call's mark however its run ends, giving back what the run
// set aside and did not keep.
struct RunMark {
    explicit RunMark(KeptMembers& k) : kept(k) {}
    ~RunMark() {
        std::unique_ptr<Runner> done;
        Locked l;
        done = std::move(kept.runner);
    }
    RunMark(const RunMark&) = delete;
    RunMark& operator=(const RunMark&) = delete;
    KeptMembers& kept;
};

enum class Claim { kKept, kAlone, kCollect, kRun };

// The member kept at p (kKept, and a copy of it). Else, while another call
// runs a window of the table, p on its own (kAlone): a call never waits
// for another, whose host callback may hold it for ever. Else this call
// marks itself as the table's runner: a run started in the background is
// handed over, to be waited for when its window holds p or ends right
// before it, or kept when it has ended (kCollect), to be ended when the
// host has jumped elsewhere (and left alone for a page beside those kept);
// or a window run of its own (kRun), and how many members it may take, and
// which way. A runner whose thread was ended midway is handed over as
// `orphan`, to be cleared away.
Claim claim(KeptMembers& k, size_t p, KeptFile& hit, std::unique_ptr<Background>& background,
            std::unique_ptr<Runner>& orphan, size_t& want, int& step) {
    Shared& s = shared();
    Locked l;
    auto it = k.files.find(p);
    if (it != k.files.end()) {
        it->second.used = ++s.tick;
        hit = it->second;
        return Claim::kKept;
    }
    if (k.runner && k.runner->handle.valid() && WaitForSingleObject(k.runner->handle.get(), 0) == WAIT_OBJECT_0)
        orphan = std::move(k.runner);
    if (k.runner) return Claim::kAlone;
    // A run that has ended is kept whatever the page (its pages may all
    // have been handed over while it ran); one still under way is waited
    // for when it holds the page or the host has come to its end.
    const Background* b = k.background.get();
    const bool wanted = b && (b->window.covers(p) || b->window.followed_by(p) || b->run.wait(0));
    // A page beside those the host has, outside the run: a look back (or
    // ahead) for a moment, and the run goes on for when it comes back.
    const bool aside = b && !wanted && (k.files.count(p + 1) || (p > 0 && k.files.count(p - 1)));
    if (!aside) background = std::move(k.background);
    mark_runner(k);
    if (wanted) {
        k.runner->reserved.take_from(background->reserved);
        k.runner->folder = background->window.folder->path();
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
    return Claim::kRun;
}

// How a window is run: for a page asked for, waited for to its end or in
// the background with the page handed over once whole; or read on in the
// background past the pages the host has. Runs in the background are
// streamed (driver/commands.h): their pages are handed over as they come.
enum class Run { kWaited, kPage, kAhead };

// The window's members from the table: p first, then on in the host's
// direction, only those 7-Zip can bring out alone into the folder under
// their listed names, within the bytes (of a run, and a share of the
// budget) and the command line one run may take. The page asked for was
// looked at already; a window read on looks at its first member too.
bool plan_window(const MemberSource& source, size_t p, size_t want, int step, uint64_t budget, size_t line,
                 Run how, std::vector<Planned>& plan, bool& solid) {
    const bool ahead = how == Run::kAhead;
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
        solid = block != kNoBlock;
        uint32_t listed = 0;
        const bool first_whole = how != Run::kWaited && paths.crc(p, listed) == CrcKind::kCrc32;
        uint64_t most_bytes = first_whole ? budget / 4 : std::min(kMostRunBytes, budget / 4);
        // Handed over once whole, the page waits for no more than the
        // decoding that reaches it: the window may take half the budget.
        if (solid)
            most_bytes = std::max(most_bytes, first_whole ? budget / 2
                                                          : std::min(step < 0 ? decoded : 2 * decoded, budget / 2));
        if (decoded > 0) {
            if (step < 0)
                want = kMostWindow;
            else if (want > kFirstWindow)
                want = std::max(want, std::min(before, kMostWindow));
        }
        // A page that waits for its whole window waits for no more members
        // than it would wait for in a run under way.
        if (how == Run::kWaited) want = std::min(want, kNearMembers + 1);
        uint64_t bytes = 0;
        // Going backward, q wraps past 0 to a value the size check ends.
        for (size_t n = 0, q = p; n < want && q < paths.size(); ++n, q += static_cast<size_t>(step)) {
            size_t len = 0;
            const wchar16* text = paths.path(q, len);
            Planned m{q, WideString(text, len), WideString(), table[q].filesize, CrcKind::kNone, 0, 0};
            const bool written = written_as_listed(m.path.c_str(), m.written);
            if (q != p || ahead) {
                if (!paths.alone(q) || !written) continue;
                if (bytes + m.size > most_bytes || line + include_length(m.path) >= kMaxCommandLine) break;
            } else if (!written) {
                return;
            }
            m.check = paths.crc(q, m.crc);
            bytes += m.size;
            line += include_length(m.path);
            plan.push_back(std::move(m));
        }
    });
}

// The window from `from` on in a folder of its own, ending before the
// first member kept already (a page asked for is not, and may be the
// first), and within what the budget leaves beside the runs under way:
// kept members, least recently used first, go to make room, which
// `reserved` then holds for the run. Only the page asked for may come out
// beyond it. False when the window holds nothing to run.
bool make_window(const Setup& setup, const wchar16* archive, const MemberSource& source, KeptMembers& kept,
                 size_t from, size_t want, int step, uint64_t budget, Run how, Window& window,
                 Reservation& reserved) {
    const bool ahead = how == Run::kAhead;
    wchar_t work[kPathChars];
    if (!setup.found() || !ensure_work_area(work)) return false;
    // Planned before its folder is made, which costs more than planning: a
    // host going on through an album kept whole finds nothing left to run.
    size_t line = wide_len(setup.exe) * 2 + wide_len(archive) + ScratchFolder::longest_path(work, kKeptKind) + 64;
    std::vector<Planned>& plan = window.plan;
    if (!plan_window(source, from, want, step, budget, line, how, plan, window.solid) || plan.empty()) return false;
    window.folder = std::make_shared<ScratchFolder>();
    if (!window.folder->make(work, kKeptKind)) return false;
    std::vector<KeptFile> doomed;
    {
        Locked l;
        const uint64_t room = room_in(budget);
        uint64_t need = 0;
        for (size_t i = 0; i < plan.size(); ++i) {
            const bool page = i == 0 && !ahead;
            if (!page && (kept.files.count(plan[i].position) || need + plan[i].size > room)) {
                plan.resize(i);
                break;
            }
            if (!page) need += plan[i].size;
        }
        if (!plan.empty()) {
            doomed = trim_locked(room - need);
            reserved.add(need);
            if (!ahead) kept.runner->folder = window.folder->path();
            if (!ahead) window.beyond = plan[0].size;
        }
    }
    discard(doomed);
    for (const Planned& m : plan) window.bytes += m.size;
    window.step = step;
    if (plan.empty()) return false;
    if (std::all_of(plan.begin(), plan.end(), [](const Planned& m) { return m.check == CrcKind::kCrc32; })) {
        std::vector<Planned*> order;
        for (Planned& m : plan) order.push_back(&m);
        std::sort(order.begin(), order.end(), by_position);
        uint64_t offset = 0;
        for (Planned* m : order) {
            m->offset = offset;
            offset += m->size;
        }
        window.stream = window.folder->path() + L"\\s";
    }
    return true;
}

// The run that brings a window out; its output is the window's stream,
// whose members are named in the order 7-Zip writes them.
ArchiverRun window_run(const Setup& setup, const wchar16* archive, const MemberSource& source,
                       const Window& window, bool streamed) {
    std::vector<const Planned*> order;
    for (const Planned& m : window.plan) order.push_back(&m);
    if (!window.stream.empty()) std::sort(order.begin(), order.end(), by_position);
    std::vector<WideString> paths;
    for (const Planned* m : order) paths.push_back(m->path);
    return with_password(
        window.stream.empty()
            ? extract_run(setup.exe, archive, window.folder->path().c_str(), paths, source.tar_pipe, streamed)
            : output_run(setup.exe, archive, paths, source.tar_pipe, streamed),
        setup);
}

typedef std::vector<std::pair<size_t, KeptFile>> Found;

// The last element of a written path.
const wchar16* last_element(const WideString& path) {
    size_t cut = path.rfind(L'\\');
    return path.c_str() + (cut == WideString::npos ? 0 : cut + 1);
}

// A planned member found under exactly the name it was written as (the
// file system's own name for it, not one it merely took for it), a plain
// file of the listed size. A file of another size is removed when `tidy`.
bool written_file(const Planned& m, const std::shared_ptr<ScratchFolder>& folder, bool tidy, KeptFile& f) {
    WideString file = folder->path() + L"\\" + m.written;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(extended_path(file).c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    if (wide_len(fd.cFileName) != wide_len(last_element(m.written)) ||
        memcmp(fd.cFileName, last_element(m.written), wide_len(fd.cFileName) * sizeof(wchar16)) != 0)
        return false;
    uint64_t size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) || size != m.size) {
        if (tidy && !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) remove_file(file);
        return false;
    }
    f.file = file;
    f.length = f.size = size;
    f.check = m.check;
    f.crc = m.crc;
    f.folder = folder;
    return true;
}

// The bytes written to a file so far.
uint64_t length_of(const WideString& file) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(extended_path(file).c_str(), GetFileExInfoStandard, &a)) return 0;
    return (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// What a window run that ended well brought out to keep, in the window's
// order; its bytes are checked against the listing's CRC when served. A
// stream is kept whole when it holds exactly its members' bytes, else not
// at all.
Found gather(const Window& window) {
    Found found;
    if (!window.stream.empty()) {
        if (length_of(window.stream) != window.bytes) return found;
        for (const Planned& m : window.plan) found.emplace_back(m.position, window.part(m));
        return found;
    }
    for (const Planned& m : window.plan) {
        KeptFile f;
        if (written_file(m, window.folder, true, f)) found.emplace_back(m.position, std::move(f));
    }
    return found;
}

// Adds what a run found to the table's kept members and gives back the
// disk set aside for the run; then, within the budget, the least recently
// used go, the farthest from the page asked for first among the new.
void keep(KeptMembers& kept, Found& found, Reservation& reserved, uint64_t budget) {
    std::vector<KeptFile> doomed;
    {
        Locked l;
        Shared& s = shared();
        reserved.release();
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            it->second.used = ++s.tick;
            // Kept meanwhile by a run beside this one: the older goes.
            auto old = kept.files.find(it->first);
            if (old != kept.files.end()) drop_locked(kept, old, doomed);
            s.kept += it->second.size;
            kept.files.emplace(it->first, std::move(it->second));
        }
        std::vector<KeptFile> trimmed = trim_locked(room_in(budget));
        std::move(trimmed.begin(), trimmed.end(), std::back_inserter(doomed));
    }
    discard(doomed);
}

// Drops the member kept at p when it is still in `file`, which is no
// longer what the listing said, and the rest of its stream with it.
void forget(KeptMembers& kept, size_t p, const WideString& file) {
    std::vector<KeptFile> doomed;
    {
        Locked l;
        auto it = kept.files.find(p);
        if (it != kept.files.end() && it->second.file == file) drop_locked(kept, it, doomed);
    }
    discard(doomed);
    remove_file(file);
}

// How often a call waiting for a run in the background looks whether its
// page has come out (ms), and after how many looks it tells the host how
// far the run has come.
const uint32_t kLookEvery = 5;
const int kTellEvery = 20;

// The page of a run still under way, handed over as the call asks once it
// is whole: a member with a CRC-32 (without one, only the run's ending well
// vouches for its bytes), its file found as written and shut, or the
// stream past its end; its bytes the listed CRC. kReadError while it
// cannot be.
ResultCode page_written(const Window& window, size_t p, FetchWatch* watch, Output& out) {
    for (const Planned& m : window.plan) {
        if (m.position != p) continue;
        if (m.check != CrcKind::kCrc32) return kReadError;
        if (!window.stream.empty()) return deliver_kept(window.part(m), watch, out, false);
        KeptFile f;
        if (!written_file(m, window.folder, false, f)) return kReadError;
        return deliver_kept(f, watch, out);
    }
    return kReadError;
}

// Whether 7-Zip, still under way, has so much to write before page p that
// a run of its own brings the page sooner. It writes a run's members in the
// listing's order, and makes each file before writing it: those not made
// yet, or past the stream's length, are still to come. A page without a
// CRC-32 is handed over only once the run has ended, and its window was
// bounded for that.
bool far_ahead(const Background& background, size_t p) {
    const Window& w = background.window;
    const Planned* page = nullptr;
    std::vector<const Planned*> before;
    for (const Planned& m : w.plan) {
        if (m.position == p) page = &m;
        else if (m.position < p) before.push_back(&m);
    }
    if (!page || page->check != CrcKind::kCrc32 || before.empty() || background.run.wait(0)) return false;
    std::sort(before.begin(), before.end(), by_position);
    const WideString folder = w.folder->path() + L"\\";
    const uint64_t streamed = w.stream.empty() ? 0 : length_of(w.stream);
    auto out = [&](const Planned* m) {
        if (!w.stream.empty()) return m->offset + m->size <= streamed;
        return GetFileAttributesW(extended_path(folder + m->written).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    size_t made = 0, end = before.size();
    while (made < end) {
        const size_t mid = made + (end - made) / 2;
        if (out(before[mid]))
            made = mid + 1;
        else
            end = mid;
    }
    const size_t members = before.size() - made;
    uint64_t bytes = 0;
    for (size_t i = made; i < before.size(); ++i) bytes += before[i]->size;
    if (w.solid) return members > kNearMembers && bytes < members * kSmallMember;
    return members > kNearMembers || bytes > kNearBytes;
}

// Waits for a run started in the background and keeps what it brought;
// its page p, once whole, is handed over at once (`served`), the run going
// on for the pages after it. The host follows the whole window's bytes
// coming out, and may stop it: kAborted, and nothing of it is kept.
ResultCode collect(KeptMembers& kept, Background& background, size_t p, FetchWatch* watch, uint64_t budget,
                   Output& out, bool& served) {
    FetchWatch window(watch ? watch->progress() : nullptr, background.window.bytes);
    window.watch(background.window.folder.get());
    // Waited for, the run works at the host's pace; handed back, in the
    // background again.
    struct Fore {
        explicit Fore(StartedRun& r) : run(r) { run.set_background(false); }
        ~Fore() { run.set_background(true); }
        StartedRun& run;
    } fore(background.run);
    // A page written already is handed over without waiting; one of a run
    // that has ended only if the run ended well.
    for (int looks = 0; !background.run.wait(looks == 0 ? 0 : kLookEvery); ++looks) {
        ResultCode rc = page_written(background.window, p, watch, out);
        if (rc != kReadError) {
            served = true;
            return rc;
        }
        if (looks > 0 && looks % kTellEvery == 0 && !window.still_wanted()) return kAborted;
    }
    bool ran = background.run.finish(window.observer()).succeeded();
    window.watch(nullptr);
    if (window.stopped()) return kAborted;
    // A run that did not end well may have left files whose listed length
    // hides missing bytes: nothing of it is kept.
    if (!ran) return kOk;
    Found found = gather(background.window);
    keep(kept, found, kept.runner->reserved, budget);
    return kOk;
}

// The window from `from` on, started in the background by the call that
// has just marked itself the table's runner: for the pages past those the
// host has, for a whole small album, or for a page asked for (the first,
// which may come out beyond the budget) and those after it.
void start_background(const Setup& setup, const wchar16* archive, const MemberSource& source, KeptMembers& kept,
                      size_t from, size_t want, int step, uint64_t budget, Run how, bool album = false) {
    RunMark mark(kept);
    auto background = std::make_unique<Background>();
    background->album = album;
    if (!make_window(setup, archive, source, kept, from, want, step, budget, how, background->window,
                     background->reserved) ||
        !background->run.start(setup.exe, window_run(setup, archive, source, background->window, true),
                               background->window.output(), true))
        return;
    Locked l;
    kept.background = std::move(background);
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
        if (kept.runner || kept.background || last == SIZE_MAX) return;
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
        mark_runner(kept);
    }
    start_background(setup, archive, source, kept, from, want, step, budget, Run::kAhead);
}

// Whether a run goes on in the background for the table.
bool behind(KeptMembers& kept) {
    Locked l;
    return kept.background != nullptr;
}

// An album small enough for one window run (members and bytes): bringing
// them all out costs little more than one of them, and whatever order the
// host takes them in, it finds them kept. Where every member has a CRC-32,
// a page is handed over as it comes out, or on its own when far down the
// run: the album may take what a window may (half the budget in a solid
// block, whose every run decodes it from the start).
bool small_album(uint64_t table, uint64_t budget) {
    bool small = false;
    table_cache().with_table(table, [&](const Listing& listing) {
        const MemberPaths& paths = listing.paths;
        // A lone member comes out with its page as soon.
        if (!paths.complete() || paths.size() < 2 || paths.size() > kMostAlbum) return;
        const auto* records = static_cast<const MemberRecord*>(listing.table.get());
        uint64_t bytes = 0;
        const uint32_t block = paths.block(0);
        bool checked = true, solid = block != kNoBlock;
        for (size_t q = 0; q < paths.size(); ++q) {
            uint32_t crc = 0;
            bytes += records[q].filesize;
            checked = checked && paths.crc(q, crc) == CrcKind::kCrc32;
            solid = solid && paths.block(q) == block;
        }
        if (!checked) small = paths.size() <= kMostWindow && bytes <= std::min(kMostRunBytes, budget / 4);
        else small = bytes <= (solid ? budget / 2 : budget / 4);
    });
    return small;
}

// The window run claimed for page p: it brings the page out with the
// window, waited for, and keeps the rest.
ResultCode run_window(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                      const MemberSource& source, KeptMembers& kept, size_t want, int step, uint64_t budget,
                      FetchWatch* watch, Output& out) {
    RunMark mark(kept);
    const size_t p = record.position;
    {
        Locked l;
        kept.last = p;
    }
    Window planned;
    Reservation& reserved = kept.runner->reserved;
    if (!make_window(setup, archive, source, kept, p, want, step, budget, Run::kWaited, planned, reserved))
        return extract_alone(setup, archive, record, source, watch, out);
    // The host follows the whole window's bytes coming out.
    FetchWatch window(watch ? watch->progress() : nullptr, planned.bytes);
    window.watch(planned.folder.get());
    bool ran = run_archiver(setup.exe, window_run(setup, archive, source, planned, false), planned.output(),
                            window.observer())
                   .succeeded();
    window.watch(nullptr);
    if (window.stopped()) return kAborted;

    // A run that did not end well may have left files whose listed length
    // hides missing bytes: nothing of it is kept.
    Found found;
    if (ran) found = gather(planned);
    ResultCode rc = kReadError;
    if (!found.empty() && found.front().first == p) {
        rc = deliver_kept(found.front().second, watch, out);
        // Not what the listing said: nor is the rest of a stream kept.
        if (rc == kReadError && found.front().second.stream) {
            found.clear();
        } else if (rc == kReadError) {
            remove_file(found.front().second.file);
            found.erase(found.begin());
        }
    }
    keep(kept, found, reserved, budget);
    if (rc != kReadError) return rc;
    return extract_alone(setup, archive, record, source, watch, out);
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
                       const MemberSource& source, FetchWatch* watch, const WideString* target,
                       platform::OwnedBlock& bytes, size_t& length) {
    // A name leading out of the work folder is never extracted.
    if (!is_contained_path(source.path.c_str())) return kReadError;
    Output out{target, bytes, length};
    // A member 7-Zip writes under another name than its listed one is never
    // kept: it comes out alone, as the one file of its run.
    WideString written;
    if (!written_as_listed(source.path.c_str(), written))
        return extract_alone(setup, archive, record, source, watch, out);
    const uint64_t budget = static_cast<uint64_t>(setup.settings.aheadMB) << 20;
    std::shared_ptr<KeptMembers> kept = source.kept;
    if (!kept) kept = table_cache().attach_kept(source.table, std::make_shared<KeptMembers>());
    if (!kept) return extract_alone(setup, archive, record, source, watch, out);
    const size_t p = record.position;
    // An album not yet brought out whole at its open is, with its first page.
    read_album(setup, archive, source);

    bool window_started = false;
    for (;;) {
        KeptFile hit;
        std::unique_ptr<Background> background;
        std::unique_ptr<Runner> orphan;
        size_t want = 0;
        int step = 1;
        Claim c = claim(*kept, p, hit, background, orphan, want, step);
        // What a thread ended midway was writing goes with its mark.
        if (orphan && !orphan->folder.empty()) remove_folder_tree(orphan->folder);
        orphan.reset();
        if (c == Claim::kAlone) return extract_alone(setup, archive, record, source, watch, out);
        if (c == Claim::kKept) {
            ResultCode rc = deliver_kept(hit, watch, out);
            if (rc == kOk) read_on(setup, archive, source, *kept, p, budget);
            if (rc != kReadError) return rc;
            // Not what the listing said (changed on disk since): dropped,
            // and the member brought out on its own.
            forget(*kept, p, hit.file);
            return extract_alone(setup, archive, record, source, watch, out);
        }
        if (c == Claim::kRun) {
            // The host went elsewhere: what was started for it ends unseen.
            background.reset();
            // The window comes out in the background, the page handed over
            // once whole (going back, 7-Zip writes it last). Once: a run
            // that did not bring it is not tried again; and not beside a
            // run that goes on elsewhere.
            if (want > 1 && !window_started && !behind(*kept)) {
                window_started = true;
                start_background(setup, archive, source, *kept, p, want, step, budget, Run::kPage);
                continue;
            }
            return run_window(setup, archive, record, source, *kept, want, step, budget, watch, out);
        }
        ResultCode rc = kOk;
        bool served = false;
        bool on_its_own = false;
        {
            RunMark mark(*kept);
            on_its_own = far_ahead(*background, p);
            if (!on_its_own) rc = collect(*kept, *background, p, watch, budget, out, served);
            // Its page came out before the run ended, or comes out sooner
            // on its own: the run goes on for whoever asks next, unless the
            // host said stop.
            if (on_its_own || (served && rc != kAborted)) {
                Locked l;
                background->reserved.take_from(kept->runner->reserved);
                // Its page, handed over or on its way, stays on disk with
                // it: within the budget from now on.
                background->reserved.add(background->window.beyond);
                background->window.beyond = 0;
                kept->background = std::move(background);
            }
        }
        if (on_its_own) return extract_alone(setup, archive, record, source, watch, out);
        if (served) {
            if (rc == kOk) read_on(setup, archive, source, *kept, p, budget);
            return rc;
        }
        if (rc != kOk) return rc;
    }
}

void read_album(const Setup& setup, const wchar16* archive, const MemberSource& source) {
    const uint64_t budget = static_cast<uint64_t>(setup.settings.aheadMB) << 20;
    if (budget == 0 || !setup.found() || !small_album(source.table, budget)) return;
    std::shared_ptr<KeptMembers> kept = source.kept;
    if (!kept) kept = table_cache().attach_kept(source.table, std::make_shared<KeptMembers>());
    if (!kept) return;
    // One album at a time, so a host that lists many archives starts few
    // runs; one that opens the next while the last still comes out has it
    // started with its first page. A run is never ended for another: it is
    // small, and what it brings may be wanted yet.
    {
        Locked l;
        if (kept->album_started || kept->runner || kept->background || !kept->files.empty()) return;
        for (KeptMembers* other : shared().all)
            if (other->background && other->background->album && !other->background->run.wait(0)) return;
        kept->album_started = true;
        mark_runner(*kept);
    }
    start_background(setup, archive, source, *kept, 0, kMostAlbum, 1, budget, Run::kAhead, true);
}
