// Reading ahead through GetFile(W): windows of members brought out by one
// run and kept, served as themselves and nothing else, within the budget,
// and never a host held by another call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "support/test_host.h"

namespace {

// A listing of n members "dir\pNN.png", each ten bytes of its own with its
// CRC (and in one solid block), and a stand-in that brings out each
// member's own bytes.
// With lha, the listing's CRCs are 16 bits wide, as 7-Zip prints an LHA
// archive's.
struct Album : DictatedArchive {
    explicit Album(int n, bool solid = false, bool lha = false) : DictatedArchive(blocks(n, solid, lha)) {
        for (int i = 0; i < n; ++i) member(L"p" + number(i) + L".png", bytes(i));
    }
    // Two characters, each member its own: digits, then a letter and a digit or letter.
    static std::wstring number(int i) {
        if (i < 100) return std::to_wstring(100 + i).substr(1);
        const wchar_t* units = L"0123456789abcdefghijklmnopqrstuvwxyz";
        return {static_cast<wchar_t>(L'a' + (i - 100) / 36), units[(i - 100) % 36]};
    }
    static std::string bytes(int i) { return "member " + utf8(number(i)) + "!"; }
    static unsigned crc16(const std::string& bytes) {
        unsigned c = 0;
        for (unsigned char b : bytes) {
            c ^= b;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xA001u & (0u - (c & 1)));
        }
        return c;
    }
    static std::string blocks(int n, bool solid, bool lha) {
        std::string listing;
        for (int i = 0; i < n; ++i) {
            std::string b = listing_block("dir\\p" + utf8(number(i)) + ".png", "10");
            char crc[64];
            snprintf(crc, sizeof crc, "CRC = %08X\r\n%s%s",
                     lha ? crc16(bytes(i)) : static_cast<unsigned>(crc32(bytes(i))), solid ? "Block = 0\r\n" : "",
                     lha ? "Method = -lh5-\r\n" : "");
            listing += b.insert(b.size() - 2, crc);
        }
        return listing;
    }
    // How many members each extraction so far named.
    std::vector<int> windows() const {
        std::vector<int> out;
        for (const std::wstring& r : runs()) {
            if (r.find(L"\" x ") == std::wstring::npos) continue;
            int n = 0;
            for (size_t at = r.find(L" -i!"); at != std::wstring::npos; at = r.find(L" -i!", at + 1)) ++n;
            out.push_back(n);
        }
        return out;
    }
};

// More members than one run may bring: an album that never comes out whole
// at its open, so that its pages come out window by window.
const int kBigAlbum = 600;

// The kept members' folders in the work folder.
std::vector<std::wstring> kept_folders() {
    std::vector<std::wstring> out;
    for (const std::wstring& f : list_tree(work_area()))
        if (f.rfind(L"k.", 0) == 0 && f.find(L'\\') == std::wstring::npos) out.push_back(f);
    return out;
}

}  // namespace

TEST(FetchRuns, AWindowGrowsWhileTheHostGoesOnAndStartsSmallAfterAJump) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    for (int i = 0; i < 60; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
    // The first page alone, then windows that never shrink while the host
    // goes on, and a whole album in a few runs.
    std::vector<int> on = s.windows();
    ASSERT_FALSE(on.empty());
    EXPECT_EQ(1, on.front());
    for (size_t i = 1; i + 1 < on.size(); ++i) EXPECT_LE(on[i - 1], on[i]);
    EXPECT_LE(on.size() * 10, 60u);
    // Asked again, to memory or to a file: no run.
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(0, fetch_file(p, s.archive, 7, out));
    EXPECT_EQ(Album::bytes(7), read_bytes(join(out, L"p07.png")));
    EXPECT_EQ(Album::bytes(7), fetch_memory(p, s.archive, 7));
    EXPECT_EQ(on.size(), s.windows().size());

    // A fresh table: a jump, one member; then the popular host's order
    // (next, previous, the rest ahead, the rest behind). Two kept pages in a
    // row start the next window in the background, the second of them
    // handed over at once.
    s.touch();
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    const size_t before = s.windows().size();
    std::vector<int> order = {20, 21, 19};
    for (int i = 22; i < 60; ++i) order.push_back(i);
    for (int i = 18; i >= 0; --i) order.push_back(i);
    for (int i : order) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
    std::vector<int> windows = s.windows();
    windows.erase(windows.begin(), windows.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_EQ(1, windows.front());
    EXPECT_LE(windows.size() * 8, order.size());
    s.touch();
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    EXPECT_EQ(Album::bytes(50), fetch_memory(p, s.archive, 50));
    EXPECT_EQ(1, s.windows().back());

    // Going backward in a solid block, a run takes every member before the
    // page: 7-Zip decodes them to reach it anyway.
    Album solid(kBigAlbum, true);
    Plugin q(solid.ini());
    ASSERT_EQ(size_t(kBigAlbum), solid.list(q).size());
    for (int i : {19, 18, 0}) EXPECT_EQ(Album::bytes(i), fetch_memory(q, solid.archive, i)) << i;
    EXPECT_EQ((std::vector<int>{1, 19}), solid.windows());
    // Going on from the middle of one, as many as it decodes to reach the page.
    solid.touch();
    ASSERT_EQ(size_t(kBigAlbum), solid.list(q).size());
    for (int i = 20; i < 30; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(q, solid.archive, i)) << i;
    EXPECT_EQ((std::vector<int>{1, 19, 1, 21}), solid.windows());
}

TEST(FetchRuns, ARunInTheBackgroundKeepsNoPageWaitingAndEndsOnAJumpAChangeOrAnUnload) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    for (int i : {0, 1}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i));
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    // Runs from here on never end by themselves: the next window's,
    // started with page 2, and then the jump's own, until released.
    auto runs_at_least = [&](size_t n) {
        for (int i = 0; i < 600 && s.windows().size() < n; ++i) Sleep(20);
        return s.windows();
    };
    const std::wstring hold = join(s.dir, L"wait-x.txt");
    {
        Holding holding(s, L"wait-x.txt");
        for (int i : {2, 3, 4}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i));
        EXPECT_EQ((std::vector<int>{1, 16, 256}), runs_at_least(3));
        struct Jump {
            Plugin* p;
            const std::wstring* archive;
            std::string got;
        } jump{&p, &s.archive, ""};
        HANDLE thread = CreateThread(nullptr, 0, [](void* arg) -> DWORD WINAPI {
            Jump& j = *static_cast<Jump*>(arg);
            j.got = fetch_memory(*j.p, *j.archive, kBigAlbum - 1);
            return 0;
        }, &jump, 0, nullptr);
        EXPECT_EQ((std::vector<int>{1, 16, 256, 1}), runs_at_least(4));
        holding.release();
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_EQ(Album::bytes(kBigAlbum - 1), jump.got);
    }
    DeleteFileW(hold.c_str());
    // What the ended run was bringing is brought again, from a small window.
    EXPECT_EQ(Album::bytes(17), fetch_memory(p, s.archive, 17));
    EXPECT_EQ((std::vector<int>{1, 16, 256, 1, 16}), s.windows());
    // Going on, that window came out in the background: the next is read
    // on once it has ended.
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    Holding holding(s, L"wait-x.txt");
    EXPECT_EQ(Album::bytes(18), fetch_memory(p, s.archive, 18));
    EXPECT_EQ(256, runs_at_least(6).back());
    EXPECT_TRUE(runs_from(s.dir));
    // The archive changed: the run goes with what was kept for it.
    s.touch();
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 19));
    EXPECT_FALSE(runs_from(s.dir));
    EXPECT_TRUE(work_area_leftovers().empty());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    DeleteFileW(hold.c_str());
    for (int i : {0, 1}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i));
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    Holding again(s, L"wait-x.txt");
    EXPECT_EQ(Album::bytes(2), fetch_memory(p, s.archive, 2));
    EXPECT_EQ(256, runs_at_least(9).back());
    EXPECT_TRUE(runs_from(s.dir));
    p.unload();
    EXPECT_FALSE(runs_from(s.dir));
    EXPECT_TRUE(work_area_leftovers().empty());
}

TEST(FetchRuns, AWindowUnderWayIsKeptForAHostThatLooksAsideJumpsOrComesToItsEnd) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    const std::wstring hold = join(s.dir, L"wait-x.txt");
    auto runs_at_least = [&](size_t n) {
        for (int i = 0; i < 600 && s.windows().size() < n; ++i) Sleep(20);
        return s.windows();
    };
    // A page on its own thread, which may wait for a run held back.
    auto on_a_thread = [&](int position, Holding& holding, size_t runs) {
        std::string got;
        std::thread page([&] { got = fetch_memory(p, s.archive, position); });
        runs_at_least(runs);
        holding.release();
        page.join();
        return got;
    };
    EXPECT_EQ(Album::bytes(20), fetch_memory(p, s.archive, 20));
    {
        // Every run writes its members and then waits, until released.
        Holding holding(s, L"wait-x.txt");
        for (int i = 21; i <= 36; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
        // A look back beside the pages kept: the run going on stays.
        EXPECT_EQ(Album::bytes(19), on_a_thread(19, holding, 3));
    }
    DeleteFileW(hold.c_str());
    EXPECT_EQ((std::vector<int>{1, 16, 16}), runs_at_least(3));
    // A jump once that run has ended: what it brought is kept all the same.
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    EXPECT_EQ(Album::bytes(200), fetch_memory(p, s.archive, 200));
    for (int i : {30, 17, 36}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
    EXPECT_EQ((std::vector<int>{1, 16, 16, 1}), s.windows());
    {
        // The host comes to the end of a window still under way: it waits
        // for it, keeps it, and goes on with a longer one.
        Holding holding(s, L"wait-x.txt");
        for (int i = 201; i <= 216; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
        EXPECT_EQ(Album::bytes(217), on_a_thread(217, holding, 5));
    }
    DeleteFileW(hold.c_str());
    EXPECT_EQ(Album::bytes(210), fetch_memory(p, s.archive, 210));
    std::vector<int> windows = runs_at_least(6);
    EXPECT_EQ((std::vector<int>{1, 16, 16, 1, 16}), std::vector<int>(windows.begin(), windows.begin() + 5));
    EXPECT_EQ(std::min(kBigAlbum - 217, windows[4] * 16), windows.back());
}

TEST(FetchRuns, APageFarDownARunUnderWayComesOutOnItsOwnAndTheRunGoesOn) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    // Runs of many members write half their first one and wait there.
    write_bytes(join(s.dir, L"hold-x.txt"), "100");
    const int last = kBigAlbum - 1;
    auto page = [&](int i) { EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i; };
    // Going back: the page alone, then a window whose page is the last it
    // writes, then the next one behind the pages kept.
    for (int i : {last, last - 1}) page(i);
    const std::vector<int> first = s.windows();
    ASSERT_EQ(2u, first.size());
    const int first_held = last - 1 - first[1];
    for (int i = last - 2; i > first_held; --i) page(i);
    // The pages of that one come last, after many not written yet: each
    // on its own, while it goes on.
    page(first_held);
    page(first_held - 1);
    const std::vector<int> runs = s.windows();
    ASSERT_EQ(5u, runs.size());
    // Runs started together may be logged in either order.
    std::vector<int> since(runs.begin() + 2, runs.end());
    std::sort(since.begin(), since.end());
    EXPECT_EQ((std::vector<int>{1, 1}), std::vector<int>(since.begin(), since.begin() + 2));
    const int held = since.back();
    EXPECT_GE(held, 100);
    EXPECT_TRUE(runs_from(s.dir));
    // Let go, it brings the rest.
    write_bytes(join(s.dir, L"go"), "");
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    for (int i = first_held - 2; i > first_held - held; --i) page(i);
    // Those were kept; the one run since reads on past them.
    for (int i = 0; i < 600 && s.windows().size() <= runs.size(); ++i) Sleep(20);
    std::vector<int> after = s.windows();
    ASSERT_EQ(runs.size() + 1, after.size());
    EXPECT_EQ(std::min(first_held + 1 - held, held), after.back());
}

TEST(FetchRuns, KeptMembersGoWithTheirTable) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    EXPECT_EQ(Album::bytes(0), fetch_memory(p, s.archive, 0));
    EXPECT_EQ(1u, kept_folders().size());
    // The archive changed: nothing is handed over, and what was kept is gone.
    s.touch();
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 1));
    EXPECT_TRUE(kept_folders().empty());
    // The table leaves the ring of sixteen: its kept members go with it.
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    EXPECT_EQ(Album::bytes(0), fetch_memory(p, s.archive, 0));
    EXPECT_EQ(1u, kept_folders().size());
    std::wstring others = fresh_dir(L"others");
    for (int i = 0; i < 16; ++i) {
        std::wstring other = join(others, std::to_wstring(i) + L".zip");
        write_bytes(other, "0123456789abcdef");
        list(p, other);
    }
    EXPECT_TRUE(kept_folders().empty());
    // Reading ahead turned off: one member a run, and nothing kept.
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    EXPECT_EQ(Album::bytes(2), fetch_memory(p, s.archive, 2));
    EXPECT_EQ(1u, kept_folders().size());
    p.write_ini(s.ini(L"aheadMB=0\r\n"));
    EXPECT_EQ(Album::bytes(3), fetch_memory(p, s.archive, 3));
    EXPECT_EQ(1, s.windows().back());
    EXPECT_TRUE(kept_folders().empty());
    // At unload, everything goes.
    p.write_ini(s.ini());
    EXPECT_EQ(Album::bytes(4), fetch_memory(p, s.archive, 4));
    EXPECT_EQ(1u, kept_folders().size());
    p.unload();
    EXPECT_TRUE(work_area_leftovers().empty());
}

TEST(FetchRuns, AKeptFileThatNoLongerMatchesIsExtractedAlone) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    EXPECT_EQ(Album::bytes(0), fetch_memory(p, s.archive, 0));
    EXPECT_EQ(Album::bytes(1), fetch_memory(p, s.archive, 1));
    ASSERT_EQ(2u, kept_folders().size());
    // Members 2 and 3 were kept with 1; their bytes change on disk, their
    // sizes stay. Into memory or into a folder, each comes out as itself.
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    auto change = [](const std::string& bytes) {
        for (const std::wstring& folder : kept_folders())
            for (const std::wstring& f : list_tree(join(work_area(), folder))) {
                const std::wstring file = join(join(work_area(), folder), f);
                std::string held = read_bytes(file);
                const size_t at = held.find(bytes);
                if (at == std::string::npos) continue;
                write_bytes(file, held.replace(at, bytes.size(), "member 0?!"));
                return true;
            }
        return false;
    };
    for (int i : {2, 3}) ASSERT_TRUE(change(Album::bytes(i))) << i;
    EXPECT_EQ(Album::bytes(2), fetch_memory(p, s.archive, 2));
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ(0, fetch_file(p, s.archive, 3, out));
    EXPECT_EQ(Album::bytes(3), read_bytes(join(out, L"p03.png")));
    EXPECT_EQ((std::vector<int>{1, 16, 1, 1}), s.windows());
}


namespace {

// Fails the test program outright when a fetch never returns.
struct Watchdog {
    Watchdog() {
        done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, [](void* event) -> DWORD WINAPI {
            if (WaitForSingleObject(event, 120000) == WAIT_TIMEOUT) {
                fputs("a fetch hung: a call was held by another\n", stderr);
                fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            return 0;
        }, done, 0, nullptr);
    }
    ~Watchdog() {
        SetEvent(done);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(done);
    }
    HANDLE done, thread;
};

// A host's progress callback that does, on its second call (the window run
// under way), what the test asks of it.
struct Host {
    int calls = 0;
    std::function<void()> on_second;
};

int __stdcall host_progress(int, int, LONG_PTR data) {
    Host& h = *reinterpret_cast<Host*>(data);
    if (++h.calls == 2 && h.on_second) h.on_second();
    return 0;
}

int fetch_with(Plugin& p, const std::wstring& archive, uintptr_t position, Host& host, std::string& bytes) {
    LocalBlock block;
    int rc = p.GetFileW(archive.c_str(), static_cast<LONG_PTR>(position), reinterpret_cast<LPWSTR>(&block.h), 0x100,
                        host_progress, reinterpret_cast<LONG_PTR>(&host));
    if (block.h) bytes = bytes_of(block.h);
    return rc;
}

// A thread of the test's own, as a host's are.
struct Thread {
    explicit Thread(std::function<void()> body) : run(std::move(body)) {
        handle = CreateThread(nullptr, 0, [](void* self) -> DWORD WINAPI {
            static_cast<Thread*>(self)->run();
            return 0;
        }, this, 0, nullptr);
    }
    ~Thread() {
        WaitForSingleObject(handle, INFINITE);
        CloseHandle(handle);
    }
    std::function<void()> run;
    HANDLE handle;
};

// Names Windows or 7-Zip would change on disk, beside the names they would
// become, all of one size: each must come out as itself, whatever the order.
const std::vector<std::pair<std::string, std::string>> kLookalikes = {
    {"p0.png", pattern_bytes(10, 1)},    {"a.png", pattern_bytes(10, 2)},      {"a.png.", pattern_bytes(10, 3)},
    {"c.png ", pattern_bytes(10, 4)},    {"c.png", pattern_bytes(10, 5)},      {"dir./x.png", pattern_bytes(10, 6)},
    {"dir/x.png", pattern_bytes(10, 7)}, {"a_b.png", pattern_bytes(10, 8)},    {"a:b.png", pattern_bytes(10, 9)},
    {"con.png", pattern_bytes(10, 10)},  {"_con.png", pattern_bytes(10, 11)}, {"z.png", pattern_bytes(10, 12)},
};

}  // namespace

TEST(ReadAhead, NamesTheFileSystemWouldChangeComeOutAsThemselves) {
    std::wstring dir = fresh_dir(L"lookalikes");
    std::vector<TarEntry> entries;
    std::map<std::string, std::string> want;
    for (const auto& e : kLookalikes) {
        entries.emplace_back(e.first, e.second);
        std::string key = e.first;
        std::replace(key.begin(), key.end(), '/', '\\');
        // A stream or a device is never extracted at all.
        want[key] = key == "a:b.png" || key == "con.png" ? "<rc 6>" : e.second;
    }
    std::wstring tar = join(dir, L"lookalikes.tar"), tgz = join(dir, L"lookalikes.tgz");
    write_tar(tar, entries);
    ASSERT_EQ(0, run_7z(L"a -tgzip \"" + tgz + L"\" \"" + tar + L"\""));
    // Reading ahead on, as shipped, and off: the same bytes.
    for (const std::wstring& ini : {ini_with_7zip(), ini_with_7zip(L"aheadMB=0\r\n")}) {
        for (const std::wstring& archive : {tar, tgz}) {
            Plugin p(ini);
            std::vector<fileInfoW> records = list(p, archive);
            const size_t n = records.size();
            // Forward, backward, and the popular host's order: the middle, the
            // next, the one before, the rest ahead, the rest behind.
            std::vector<size_t> host = {n / 2, n / 2 + 1, n / 2 - 1};
            for (size_t i = n / 2 + 2; i < n; ++i) host.push_back(i);
            for (size_t i = n / 2 - 1; i-- > 0;) host.push_back(i);
            std::vector<size_t> forward, backward;
            for (size_t i = 0; i < n; ++i) forward.push_back(i), backward.push_back(n - 1 - i);
            for (const auto& order : {forward, backward, host}) {
                p.reload();
                ASSERT_EQ(kLookalikes.size(), list(p, archive).size()) << utf8(archive);
                for (size_t i : order) {
                    std::string name = utf8(records[i].path) + utf8(records[i].filename);
                    EXPECT_EQ(want[name], fetch_memory(p, archive, i)) << name << " in " << utf8(archive);
                }
            }
        }
    }
}

TEST(ReadAhead, NoCallIsHeldByAnothersCallback) {
    Watchdog watchdog;
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    const std::wstring wait_file = join(s.dir, L"wait-x.txt");
    std::string got, inner;
    {
        // The same thread, from inside its own callback while its run works.
        Holding holding(s, L"wait-x.txt");
        Host host;
        host.on_second = [&] {
            DeleteFileW(wait_file.c_str());
            inner = fetch_memory(p, s.archive, 30);
            holding.release();
        };
        EXPECT_EQ(0, fetch_with(p, s.archive, 0, host, got));
        EXPECT_EQ(Album::bytes(0), got);
        EXPECT_EQ(Album::bytes(30), inner);
    }
    {
        // Another thread, while the first one's callback waits for it.
        Holding holding(s, L"wait-x.txt");
        HANDLE in_callback = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE other_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        bool held = false;
        int rc = -1;
        Host host;
        host.on_second = [&] {
            SetEvent(in_callback);
            held = WaitForSingleObject(other_done, 30000) != WAIT_OBJECT_0;
        };
        {
            Thread first([&] { rc = fetch_with(p, s.archive, 10, host, got); });
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(in_callback, 60000));
            DeleteFileW(wait_file.c_str());
            EXPECT_EQ(Album::bytes(20), fetch_memory(p, s.archive, 20));
            SetEvent(other_done);
            holding.release();
        }
        EXPECT_FALSE(held);
        EXPECT_EQ(0, rc);
        EXPECT_EQ(Album::bytes(10), got);
        CloseHandle(in_callback);
        CloseHandle(other_done);
    }
    {
        // A thread ended by its host in the middle of its run holds nothing.
        Holding holding(s, L"wait-x.txt");
        HANDLE in_callback = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Host host;
        host.on_second = [&] {
            SetEvent(in_callback);
            Sleep(INFINITE);
        };
        struct Job {
            Plugin* p;
            std::wstring archive;
            Host* host;
        } job{&p, s.archive, &host};
        HANDLE thread = CreateThread(nullptr, 0, [](void* arg) -> DWORD WINAPI {
            Job& j = *static_cast<Job*>(arg);
            std::string ignored;
            // Never returns: the test ends the thread.
            return static_cast<DWORD>(fetch_with(*j.p, j.archive, 5, *j.host, ignored));
        }, &job, 0, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(in_callback, 60000));
        TerminateThread(thread, 1);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(in_callback);
        DeleteFileW(wait_file.c_str());
        holding.release();
        for (int i : {6, 7, 8}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
        EXPECT_GE(s.windows().back(), 2) << "read ahead again once the ended thread's mark is cleared";
    }
}

TEST(ReadAhead, EverythingOnDiskStaysWithinTheBudget) {
    const size_t kMember = 1 << 20;
    const std::string member = pattern_bytes(kMember, 3);
    // Members kept as files, and (each with a CRC-32) as streams.
    for (bool checked : {false, true}) {
        char crc[32];
        snprintf(crc, sizeof crc, "CRC = %08X\r\n", static_cast<unsigned>(crc32(member)));
        std::string listing;
        for (int i = 0; i < 12; ++i) {
            std::string b = listing_block("p" + std::to_string(10 + i) + ".png", std::to_string(kMember));
            listing += checked ? b.insert(b.size() - 2, crc) : b;
        }
        DictatedArchive s(listing);
        s.member(member);
        Plugin p(s.ini(L"aheadMB=8\r\n"));
        std::wstring dir = fresh_dir(L"ten");
        for (int a = 0; a < 10; ++a) {
            std::wstring archive = join(dir, std::to_wstring(a) + L".zip");
            write_bytes(archive, "archive " + std::to_string(a));
            ASSERT_EQ(12u, list(p, archive).size());
            for (int i = 0; i < 4; ++i) EXPECT_EQ(kMember, fetch_memory(p, archive, i).size()) << a << ":" << i;
        }
        // Runs in the background that ended, collected or not, count too.
        for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
        uint64_t on_disk = 0;
        for (const std::wstring& f : list_tree(work_area())) {
            WIN32_FILE_ATTRIBUTE_DATA a;
            if (GetFileAttributesExW(join(work_area(), f).c_str(), GetFileExInfoStandard, &a) &&
                !(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                on_disk += (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
        }
        EXPECT_GT(on_disk, 0u) << checked;
        EXPECT_LE(on_disk, (8u << 20) + kMember) << checked;
    }
}

TEST(ReadAhead, ARunInTheBackgroundThatFailsOrIsStoppedKeepsNothing) {
    Album s(kBigAlbum);
    Plugin p(s.ini());
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    for (int i : {0, 1}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i));
    const std::wstring exit_file = join(s.dir, L"exit-x.txt"), wait_file = join(s.dir, L"wait-x.txt");
    {
        // The next window's run starts with page 2 and ends with an error.
        Holding holding(s, L"wait-x.txt");
        write_bytes(exit_file, "2");
        EXPECT_EQ(Album::bytes(2), fetch_memory(p, s.archive, 2));
        holding.release();
        for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    }
    DeleteFileW(exit_file.c_str());
    DeleteFileW(wait_file.c_str());
    const size_t runs = s.windows().size();
    EXPECT_EQ(Album::bytes(6), fetch_memory(p, s.archive, 6));
    EXPECT_EQ(runs + 1, s.windows().size()) << "a page of the failed run came out of a run of its own";

    // A page that waits for a run in the background, stopped by its host:
    // nothing handed over, the run ended, and the page whole afterwards.
    s.touch();
    ASSERT_EQ(size_t(kBigAlbum), s.list(p).size());
    for (int i : {0, 1}) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i));
    Holding holding(s, L"wait-x.txt");
    EXPECT_EQ(Album::bytes(2), fetch_memory(p, s.archive, 2));
    // Stop once waiting: the first call comes before anything runs.
    struct Stop {
        static int __stdcall second(int, int, LONG_PTR calls) { return ++*reinterpret_cast<int*>(calls) >= 2; }
    };
    int calls = 0;
    LocalBlock block;
    bool waited = false;
    for (int i = 0; i < 600 && !(waited = runs_from(s.dir)); ++i) Sleep(20);
    ASSERT_TRUE(waited);
    EXPECT_EQ(1, p.GetFileW(s.archive.c_str(), 6, reinterpret_cast<LPWSTR>(&block.h), 0x100, Stop::second,
                                reinterpret_cast<LONG_PTR>(&calls)));
    EXPECT_EQ(nullptr, block.h);
    DeleteFileW(wait_file.c_str());
    EXPECT_FALSE(runs_from(s.dir));
    for (int i = 3; i < 10; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
}

TEST(ReadAhead, LhaAlbumsAreServedFromKeptMembers) {
    Album s(60, false, true);
    Plugin p(s.ini());
    ASSERT_EQ(60u, s.list(p).size());
    for (int i = 0; i < 60; ++i) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
    // Fewer runs than a zip's of the same members would take twice over.
    EXPECT_LE(s.windows().size(), 8u);
    for (int w : s.windows()) EXPECT_GT(w, 0);
}

namespace {

// The host's order for an album of n: the middle, the next, the previous,
// the rest ahead, the rest behind.
std::vector<int> hosts_order(int n) {
    std::vector<int> order = {n / 2, n / 2 + 1, n / 2 - 1};
    for (int i = n / 2 + 2; i < n; ++i) order.push_back(i);
    for (int i = n / 2 - 2; i >= 0; --i) order.push_back(i);
    return order;
}

// The extractions a stand-in makes within about a second from now.
std::vector<int> windows_soon(const StandIn& s, const std::function<std::vector<int>()>& windows) {
    for (int i = 0; i < 50 && windows().empty() && !runs_from(s.dir); ++i) Sleep(20);
    for (int i = 0; i < 600 && runs_from(s.dir); ++i) Sleep(20);
    return windows();
}

}  // namespace

TEST(SmallAlbum, ComesOutWholeInOneRunStartedAsItsTableIsHandedOver) {
    Album s(20);
    Plugin p(s.ini());
    ASSERT_EQ(20u, s.list(p).size());
    for (int i : hosts_order(20)) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
    EXPECT_EQ((std::vector<int>{20}), s.windows());
    EXPECT_EQ("tlx", s.letters());
    // Another information call on the same table starts nothing more.
    ASSERT_EQ(20u, s.list(p).size());
    EXPECT_EQ(Album::bytes(3), fetch_memory(p, s.archive, 3));
    EXPECT_EQ("tlx", s.letters());
    // Listed and never paged: what came out goes at unload.
    s.touch();
    ASSERT_EQ(20u, s.list(p).size());
    EXPECT_EQ((std::vector<int>{20, 20}), windows_soon(s, [&] { return s.windows(); }));
    p.unload();
    EXPECT_TRUE(work_area_leftovers().empty());

    // Reading ahead off: a run a page, as before, and nothing kept.
    Album off(20);
    Plugin q(off.ini(L"aheadMB=0\r\n"));
    ASSERT_EQ(20u, off.list(q).size());
    for (int i : hosts_order(20)) EXPECT_EQ(Album::bytes(i), fetch_memory(q, off.archive, i)) << i;
    EXPECT_EQ(std::vector<int>(20, 1), off.windows());
    EXPECT_TRUE(kept_folders().empty());
}

TEST(SmallAlbum, NoneBeyondWhatOneRunMayBringComesOutAtTheOpen) {
    // Too many members.
    Album many(kBigAlbum);
    Plugin p(many.ini());
    ASSERT_EQ(size_t(kBigAlbum), many.list(p).size());
    EXPECT_TRUE(windows_soon(many, [&] { return many.windows(); }).empty());
    // Half as many: too many for pages waiting for the run's end, not for
    // pages with a CRC-32.
    for (bool lha : {true, false}) {
        Album half(kBigAlbum / 2, false, lha);
        Plugin h(half.ini());
        ASSERT_EQ(size_t(kBigAlbum / 2), half.list(h).size());
        const std::vector<int> whole = windows_soon(half, [&] { return half.windows(); });
        EXPECT_EQ(lha ? std::vector<int>() : std::vector<int>{kBigAlbum / 2}, whole) << lha;
    }
    // Too many bytes listed: beyond what one run brings, or a quarter of
    // the budget.
    DictatedArchive big(listing_block("a.png", "13000000") + listing_block("b.png", "13000000"));
    Plugin q(big.ini());
    ASSERT_EQ(2u, big.list(q).size());
    DictatedArchive some(listing_block("a.png", "100000") + listing_block("b.png", "100000") +
                         listing_block("c.png", "100000"));
    Plugin r(some.ini(L"aheadMB=1\r\n"));
    ASSERT_EQ(3u, some.list(r).size());
    for (const StandIn* s : {static_cast<const StandIn*>(&big), static_cast<const StandIn*>(&some)})
        EXPECT_EQ("tl", s->letters());
    // Within them, it does.
    r.write_ini(some.ini(L"aheadMB=2\r\n"));
    some.touch();
    ASSERT_EQ(3u, some.list(r).size());
    windows_soon(some, [&] { return std::vector<int>(); });
    EXPECT_EQ("tltlx", some.letters());
    // Members with a CRC-32, handed over as they come out, may take more:
    // a quarter of the budget, half in a solid block.
    const struct {
        const char* extra;
        const wchar_t* ini;
        bool whole;
    } checked[] = {
        {"CRC = 0000ABCD\r\n", L"aheadMB=99\r\n", false},
        {"CRC = 0000ABCD\r\n", L"aheadMB=100\r\n", true},
        {"CRC = 0000ABCD\r\nBlock = 0\r\n", L"aheadMB=49\r\n", false},
        {"CRC = 0000ABCD\r\nBlock = 0\r\n", L"aheadMB=50\r\n", true},
    };
    for (const auto& c : checked) {
        std::string a = listing_block("a.png", "13000000"), b = listing_block("b.png", "13000000");
        DictatedArchive two(a.insert(a.size() - 2, c.extra) + b.insert(b.size() - 2, c.extra));
        Plugin t(two.ini(c.ini));
        ASSERT_EQ(2u, two.list(t).size());
        windows_soon(two, [&] { return std::vector<int>(); });
        EXPECT_EQ(c.whole ? "tlx" : "tl", two.letters()) << c.extra << utf8(c.ini);
    }
}

namespace {

// A page asked for on a thread of its own, which the test may wait for.
struct PageOnItsOwn {
    PageOnItsOwn(Plugin& p, const std::wstring& archive, int position) : p(p), archive(archive), position(position) {
        thread = CreateThread(nullptr, 0, [](void* arg) -> DWORD WINAPI {
            auto& g = *static_cast<PageOnItsOwn*>(arg);
            g.got = fetch_memory(g.p, g.archive, g.position);
            return 0;
        }, this, 0, nullptr);
    }
    ~PageOnItsOwn() {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    bool done_within(DWORD ms) { return WaitForSingleObject(thread, ms) == WAIT_OBJECT_0; }
    Plugin& p;
    std::wstring archive;
    int position;
    std::string got;
    HANDLE thread;
};

}  // namespace

TEST(SmallAlbum, APageWithACrcIsHandedOverOnceWholeBeforeItsRunEnds) {
    Album s(20);
    Holding holding(s, L"wait-x.txt");  // the run writes every member, then waits
    Plugin p(s.ini());
    ASSERT_EQ(20u, s.list(p).size());
    for (int i : {10, 11, 9}) {
        PageOnItsOwn page(p, s.archive, i);
        const bool early = page.done_within(30000);
        EXPECT_TRUE(early) << i;
        EXPECT_TRUE(runs_from(s.dir));
        if (!early || i == 9) holding.release();
        page.done_within(INFINITE);
        EXPECT_EQ(Album::bytes(i), page.got) << i;
    }

    // A 16-bit CRC vouches for too little: its page waits for the run's end.
    Album lha(20, false, true);
    Holding held(lha, L"wait-x.txt");
    Plugin q(lha.ini());
    ASSERT_EQ(20u, lha.list(q).size());
    PageOnItsOwn page(q, lha.archive, 10);
    EXPECT_FALSE(page.done_within(1500));
    held.release();
    page.done_within(INFINITE);
    EXPECT_EQ(Album::bytes(10), page.got);
    EXPECT_EQ((std::vector<int>{20}), lha.windows());
}

// Files in a kept folder.
std::vector<std::wstring> files_in(const std::wstring& folder) {
    std::vector<std::wstring> out;
    for (const std::wstring& f : list_tree(join(work_area(), folder)))
        if (!(GetFileAttributesW(join(join(work_area(), folder), f).c_str()) & FILE_ATTRIBUTE_DIRECTORY))
            out.push_back(f);
    return out;
}

TEST(SmallAlbum, WithACrcEachItComesOutAsOneStreamThatServesOnlyWhenExact) {
    // One file holds the album, every page served from it.
    Album one(20);
    Plugin q(one.ini());
    ASSERT_EQ(20u, one.list(q).size());
    EXPECT_EQ((std::vector<int>{20}), windows_soon(one, [&] { return one.windows(); }));
    ASSERT_EQ(1u, kept_folders().size());
    EXPECT_EQ(1u, files_in(kept_folders()[0]).size());
    for (int i : hosts_order(20)) EXPECT_EQ(Album::bytes(i), fetch_memory(q, one.archive, i)) << i;
    EXPECT_EQ((std::vector<int>{20}), one.windows());
    q.unload();
    // 7-Zip writing more than the members' bytes: no page is served from
    // that run, and every page still comes out as itself.
    Album s(20);
    write_bytes(join(s.dir, L"stray.bin"), "?");
    Plugin p(s.ini());
    ASSERT_EQ(20u, s.list(p).size());
    EXPECT_EQ((std::vector<int>{20}), windows_soon(s, [&] { return s.windows(); }));
    // Its first member is where it was listed, yet comes out of a run of its own.
    EXPECT_EQ(Album::bytes(0), fetch_memory(p, s.archive, 0));
    EXPECT_EQ(2u, s.windows().size());
    for (int i : hosts_order(20)) EXPECT_EQ(Album::bytes(i), fetch_memory(p, s.archive, i)) << i;
}

TEST(SmallAlbum, ItsRunGivesWayToTheHostUntilAPageWaitsForIt) {
    Album s(20);
    write_bytes(join(s.dir, L"hold-x.txt"), "20");  // the album's run holds in its first member
    Plugin p(s.ini());
    ASSERT_EQ(20u, s.list(p).size());
    const std::wstring classes = join(s.dir, L"classes.log");
    auto noted_soon = [&](const std::string& key, DWORD priority) {
        const std::string line = key + " " + std::to_string(priority) + "\n";
        for (int i = 0; i < 3000 && read_bytes(classes).find(line) == std::string::npos; ++i) Sleep(20);
        return read_bytes(classes).find(line) != std::string::npos;
    };
    EXPECT_TRUE(noted_soon("x", BELOW_NORMAL_PRIORITY_CLASS)) << read_bytes(classes);
    {
        // Waited for, it works at the host's own priority until let go.
        PageOnItsOwn page(p, s.archive, 0);
        EXPECT_TRUE(noted_soon("x now", NORMAL_PRIORITY_CLASS)) << read_bytes(classes);
        write_bytes(join(s.dir, L"go"), "");
        page.done_within(INFINITE);
        EXPECT_EQ(Album::bytes(0), page.got);
    }
    // A run a page waits for from its start has the host's priority.
    p.write_ini(s.ini(L"aheadMB=0\r\n"));
    EXPECT_EQ(Album::bytes(5), fetch_memory(p, s.archive, 5));
    const std::string log = read_bytes(classes);
    EXPECT_EQ("x " + std::to_string(NORMAL_PRIORITY_CLASS) + "\n", log.substr(log.rfind("x ")));
}

TEST(SmallAlbum, ARunThatFailsKeepsNothing) {
    Album s(10);
    const std::wstring exit_file = join(s.dir, L"exit-x.txt");
    write_bytes(exit_file, "2");  // after writing every member
    Plugin p(s.ini());
    ASSERT_EQ(10u, s.list(p).size());
    EXPECT_EQ((std::vector<int>{10}), windows_soon(s, [&] { return s.windows(); }));
    DeleteFileW(exit_file.c_str());
    // Each page is brought out again, none handed over from the failed run.
    EXPECT_EQ(Album::bytes(4), fetch_memory(p, s.archive, 4));
    EXPECT_EQ(2u, s.windows().size());
}

TEST(SmallAlbum, OneComesOutAtATime) {
    Album s(10);
    std::wstring other = join(fresh_dir(L"other"), L"other.zip");
    ASSERT_TRUE(CopyFileW(s.archive.c_str(), other.c_str(), FALSE));
    Plugin p(s.ini());
    {
        Holding holding(s, L"wait-x.txt");
        ASSERT_EQ(10u, s.list(p).size());
        for (int i = 0; i < 600 && s.windows().empty(); ++i) Sleep(20);
        ASSERT_EQ(10u, list(p, other).size());
        Sleep(500);
        EXPECT_EQ(1u, s.windows().size()) << "the second album waits while the first comes out";
        holding.release();
    }
    DeleteFileW(join(s.dir, L"wait-x.txt").c_str());
    // The first album's run went on to its end: its pages are kept.
    EXPECT_EQ(Album::bytes(3), fetch_memory(p, s.archive, 3));
    EXPECT_EQ(1u, s.windows().size());
    // The second comes out whole with its first page.
    for (int i : hosts_order(10)) EXPECT_EQ(Album::bytes(i), fetch_memory(p, other, i)) << i;
    EXPECT_EQ((std::vector<int>{10, 10}), s.windows());
}
