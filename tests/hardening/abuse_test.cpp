// What a careless or hostile host may pass: every flag bit, positions and
// offsets out of range, tiny buffers, both text forms on one archive,
// unloading after every call, calls after failures, handles that are no
// files and records full of garbage. Every answer is a plain result code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "support/test_host.h"
#include "test_config.h"

namespace {

HLOCAL garbage_handle() { return reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xDEADBEE0)); }

}  // namespace

TEST(HostAbuse, EveryFlagBitOnEveryArchiveEntryPoint) {
    Served s;
    Plugin p(s.ini());
    std::string ansi = s.ansi_archive();
    std::wstring out = fresh_dir(L"out");
    std::string aout = utf8(out);
    // On a missing archive a served request answers 6 without running
    // anything; memory input (bits 0-2) is not served: -1.
    const std::wstring gone = L"C:\\no\\such.zip";
    for (int bit = 0; bit < 32; ++bit) {
        unsigned flag = 1u << bit;
        int want = bit < 3 ? -1 : 6;
        SCOPED_TRACE("bit " + std::to_string(bit));
        EXPECT_EQ(want, listing_code(p, gone, 0, flag));
        EXPECT_EQ(want, listing_code(p, gone, 0, flag, true));
        fileInfoW info = {};
        EXPECT_EQ(want, p.GetFileInfoW(gone.c_str(), 0, L"b.png", flag, &info));
        fileInfo ainfo = {};
        EXPECT_EQ(want, p.GetFileInfo("C:\\no\\such.zip", 0, "b.png", flag, &ainfo));
        HLOCAL untouched = garbage_handle();
        EXPECT_EQ(want, p.GetFileW(gone.c_str(), 0, reinterpret_cast<LPWSTR>(&untouched), flag | 0x100, nullptr, 0));
        EXPECT_EQ(want, p.GetFile("C:\\no\\such.zip", 0, reinterpret_cast<LPSTR>(&untouched), flag | 0x100,
                                  nullptr, 0));
        EXPECT_EQ(garbage_handle(), untouched);
        EXPECT_EQ(want, p.GetFileW(gone.c_str(), 0, const_cast<wchar_t*>(out.c_str()), flag & ~0x100u, nullptr, 0));
        EXPECT_EQ(want, p.GetFile("C:\\no\\such.zip", 0, const_cast<char*>(aout.c_str()), flag & ~0x100u,
                                  nullptr, 0));
    }
    EXPECT_EQ("", s.letters());

    // Served in full for a few bits: each call does what it does with no flag.
    for (int bit : {0, 3, 8, 31}) {
        unsigned flag = 1u << bit;
        bool memory_input = bit < 3;
        SCOPED_TRACE("served, bit " + std::to_string(bit));
        LocalBlock wtable, atable;
        EXPECT_EQ(memory_input ? -1 : 0, p.GetArchiveInfoW(s.archive.c_str(), 0, flag, &wtable.h));
        EXPECT_EQ(memory_input ? 0u : 2u, wtable.h ? records_of(wtable.h).size() : 0u);
        EXPECT_EQ(memory_input ? -1 : 0, p.GetArchiveInfo(ansi.c_str(), 0, flag, &atable.h));
        EXPECT_EQ(memory_input ? 0u : 2u, atable.h ? ansi_records_of(atable.h).size() : 0u);
        fileInfoW info = {};
        EXPECT_EQ(memory_input ? -1 : 0, p.GetFileInfoW(s.archive.c_str(), 0, L"b.png", flag, &info));
        EXPECT_EQ(memory_input ? 0u : 20u, info.filesize);
        fileInfo ainfo = {};
        EXPECT_EQ(memory_input ? -1 : 0, p.GetFileInfo(ansi.c_str(), 0, "B.PNG", flag, &ainfo));
        EXPECT_EQ(memory_input ? 0u : 20u, ainfo.filesize);
        // The memory-output bit asks for a block; any other leaves file output.
        if (flag == 0x100) {
            EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
            EXPECT_EQ(kLonger, fetch_memory_ansi(p, s.archive, 1));
            continue;
        }
        EXPECT_EQ(memory_input ? -1 : 0,
                  p.GetFileW(s.archive.c_str(), 0, const_cast<wchar_t*>(out.c_str()), flag, nullptr, 0));
        EXPECT_EQ(memory_input ? -1 : 0, p.GetFile(ansi.c_str(), 1, const_cast<char*>(aout.c_str()), flag, nullptr, 0));
        std::vector<std::wstring> made = list_tree(out);
        EXPECT_EQ(memory_input ? std::vector<std::wstring>{} : (std::vector<std::wstring>{L"a.png", L"b.png"}), made);
        for (const std::wstring& f : made) {
            EXPECT_EQ(f == L"a.png" ? kBytes : kLonger, read_bytes(join(out, f)));
            DeleteFileW(join(out, f).c_str());
        }
    }
}

TEST(HostAbuse, OffsetsAndPositionsOutOfRange) {
    Served s;
    Plugin p(s.ini());
    std::string ansi = s.ansi_archive();
    // The archive file holds 16 bytes: 8 from the offset are needed.
    std::vector<std::pair<LONG_PTR, int>> offsets = {
        {-1, 6}, {INTPTR_MIN, 6}, {INT32_MIN, 6}, {9, 2}, {16, 2}, {17, 2}, {INT32_MAX, 2},
    };
    if (sizeof(LONG_PTR) == 8) {
        // Beyond 32 bits nothing wraps round to a small offset.
        for (long long beyond : {0x80000000LL, 0x100000000LL, 0x100000008LL, -0xFFFFFFF8LL, INT64_MAX})
            offsets.push_back({static_cast<LONG_PTR>(beyond), 6});
    }
    for (const auto& o : offsets) {
        SCOPED_TRACE("offset " + std::to_string(static_cast<long long>(o.first)));
        EXPECT_EQ(o.second, listing_code(p, s.archive, o.first));
        EXPECT_EQ(o.second, listing_code(p, s.archive, o.first, 0, true));
        fileInfoW info = {};
        EXPECT_EQ(o.second, p.GetFileInfoW(s.archive.c_str(), o.first, L"a.png", 0, &info));
        fileInfo ainfo = {};
        EXPECT_EQ(o.second, p.GetFileInfo(ansi.c_str(), o.first, "a.png", 0, &ainfo));
    }
    EXPECT_EQ("", s.letters());
    ASSERT_EQ(0, listing_code(p, s.archive, 8));
    EXPECT_EQ("tl", s.letters());

    // Positions the cached table does not hold: 2, and nothing runs.
    std::vector<LONG_PTR> positions = {-1, INTPTR_MIN, 2, 3, INT32_MAX};
    if (sizeof(LONG_PTR) == 8)
        for (long long beyond : {0x100000000LL, 0x100000001LL, INT64_MAX})
            positions.push_back(static_cast<LONG_PTR>(beyond));
    std::wstring out = fresh_dir(L"out");
    for (LONG_PTR at : positions) {
        SCOPED_TRACE("position " + std::to_string(static_cast<long long>(at)));
        EXPECT_EQ("<rc 2>", fetch_memory(p, s.archive, static_cast<uintptr_t>(at)));
        EXPECT_EQ("<rc 2>", fetch_memory_ansi(p, s.archive, static_cast<uintptr_t>(at)));
        EXPECT_EQ(2, fetch_file(p, s.archive, static_cast<uintptr_t>(at), out));
    }
    EXPECT_EQ("tl", s.letters());
    EXPECT_TRUE(list_tree(out).empty());
}

TEST(HostAbuse, InformationIntoTinyBuffers) {
    Plugin p(L"");
    for (int number : {-1, 0, 1, 2, 3, 4, 1000}) {
        wchar_t whole[260];
        char awhole[260];
        int full = p.GetPluginInfoW(number, whole, 260);
        int afull = p.GetPluginInfo(number, awhole, 260);
        bool known = number >= 0 && number <= 3;
        for (int length : {-1, 0, 1, 4}) {
            SCOPED_TRACE("info " + std::to_string(number) + " into " + std::to_string(length));
            wchar_t buf[8];
            wmemset(buf, L'#', 8);
            int n = p.GetPluginInfoW(number, buf, length);
            char abuf[8];
            memset(abuf, '#', 8);
            int an = p.GetPluginInfo(number, abuf, length);
            int room = length > 0 ? length : 0;
            for (int i = room; i < 8; ++i) {
                EXPECT_EQ(L'#', buf[i]) << i;
                EXPECT_EQ('#', abuf[i]) << i;
            }
            if (room == 0 || !known) {
                // Nothing written, nothing answered.
                EXPECT_EQ(0, n);
                EXPECT_EQ(0, an);
                if (room) {
                    EXPECT_EQ(L'#', buf[0]);
                    EXPECT_EQ('#', abuf[0]);
                }
                continue;
            }
            // A terminated prefix of the whole answer, as long as it says.
            EXPECT_EQ(n, static_cast<int>(wcslen(buf)));
            EXPECT_LE(n, room - 1);
            EXPECT_EQ(0, wcsncmp(buf, whole, static_cast<size_t>(n)));
            EXPECT_EQ(std::min(full, room - 1), n);
            EXPECT_EQ(an, static_cast<int>(strlen(abuf)));
            EXPECT_LE(an, room - 1);
            EXPECT_EQ(0, strncmp(abuf, awhole, static_cast<size_t>(an)));
            EXPECT_LE(an, afull);
        }
    }
}

TEST(HostAbuse, AnsiAndWideFormsMixedOnOneArchive) {
    Served s;
    s.set_output("l", listing_block("a.png", "10") + listing_block("d\\caf\xC3\xA9.png", "20"));
    Plugin p(s.ini(kTablesOnly));
    std::string ansi = s.ansi_archive();
    LocalBlock atable;
    ASSERT_EQ(0, p.GetArchiveInfo(ansi.c_str(), 0, 0, &atable.h));
    // The table the ANSI form listed serves a wide fetch: one extraction.
    EXPECT_EQ(kLonger, fetch_memory(p, s.archive, 1));
    EXPECT_EQ("tlx", s.letters());
    std::vector<fileInfo> a = ansi_records_of(atable.h);
    std::vector<fileInfoW> w = s.list(p);
    ASSERT_EQ(2u, a.size());
    ASSERT_EQ(2u, w.size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(w[i].position, a[i].position);
        EXPECT_EQ(w[i].filesize, a[i].filesize);
        EXPECT_EQ(w[i].compsize, a[i].compsize);
        EXPECT_EQ(w[i].timestamp, a[i].timestamp);
        char converted[200];
        // What the code page lacks is '_', never a look-alike ("cafe" for "caf\u00E9" under 932).
        WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, w[i].filename, -1, converted, 200, "_", nullptr);
        EXPECT_STREQ(converted, a[i].filename);
    }
    // A wide listing serves an ANSI fetch, and an ANSI name finds the wide record.
    EXPECT_EQ(kBytes, fetch_memory_ansi(p, s.archive, 0));
    EXPECT_EQ("tlxx", s.letters());
    fileInfo ainfo = {};
    ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, a[1].filename, 0, &ainfo));
    EXPECT_EQ(1u, ainfo.position);
    fileInfoW winfo = {};
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, w[1].filename, 0, &winfo));
    EXPECT_EQ(1u, winfo.position);
}

TEST(HostAbuse, UnloadingAfterEveryCall) {
    Served s;
    s.set_output("l", listing_block("a.png", "10") + listing_block("b.png", "20"));
    remove_tree(work_area());
    Plugin p(s.ini(kTablesOnly));
    std::string ansi = s.ansi_archive();
    std::wstring out = fresh_dir(L"out");
    // Each call on a freshly loaded plug-in; what it handed out outlives it,
    // and the unload takes the emptied work folder away.
    auto after_unload = [&](const char* what) {
        // Under Wine a capture can outlast its deletion a moment.
        EXPECT_TRUE(work_area_leftovers(false, true).empty()) << what;
        p.unload();
        EXPECT_FALSE(exists(work_area())) << what;
        p.reload();
        EXPECT_TRUE(exists(work_area())) << what;
    };
    wchar_t wbuf[260];
    EXPECT_EQ(16, p.GetPluginInfoW(2, wbuf, 260));
    after_unload("GetPluginInfoW");
    char abuf[260];
    EXPECT_EQ(4, p.GetPluginInfo(0, abuf, 260));
    after_unload("GetPluginInfo");
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
    after_unload("IsSupportedW");
    EXPECT_EQ(1, p.IsSupported(ansi.c_str(), kHeader));
    after_unload("IsSupported");
    LocalBlock wtable, atable, wbytes, abytes;
    ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &wtable.h));
    after_unload("GetArchiveInfoW");
    ASSERT_EQ(0, p.GetArchiveInfo(ansi.c_str(), 0, 0, &atable.h));
    after_unload("GetArchiveInfo");
    fileInfoW winfo = {};
    EXPECT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"b.png", 0, &winfo));
    after_unload("GetFileInfoW");
    fileInfo ainfo = {};
    EXPECT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, "a.png", 0, &ainfo));
    after_unload("GetFileInfo");
    ASSERT_EQ(0, p.GetFileW(s.archive.c_str(), 1, reinterpret_cast<LPWSTR>(&wbytes.h), 0x100, nullptr, 0));
    after_unload("GetFileW");
    ASSERT_EQ(0, p.GetFile(ansi.c_str(), 0, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0));
    expect_work_area_empty(false, true);
    p.unload();

    EXPECT_EQ(2u, records_of(wtable.h).size());
    EXPECT_EQ(2u, ansi_records_of(atable.h).size());
    EXPECT_EQ(20u, winfo.filesize);
    EXPECT_EQ(10u, ainfo.filesize);
    EXPECT_EQ(kLonger, bytes_of(wbytes.h));
    EXPECT_EQ(kBytes, read_bytes(join(out, L"a.png")));
    // Nothing outlives its module: each request after a load tests and
    // lists afresh, and a fetch right after a load extracts from that listing.
    EXPECT_EQ("tttltltltltlxtlx", s.letters());
    EXPECT_FALSE(exists(work_area()));
}

TEST(HostAbuse, EveryFailureIsFollowedByAGoodAnswer) {
    Served s;
    Plugin p(s.ini());
    std::string ansi = s.ansi_archive();
    auto lists = [&] { return s.list(p).size() == 2; };
    auto fetches = [&](uintptr_t at) { return fetch_memory(p, s.archive, at) == (at == 0 ? kBytes : kLonger); };
    EXPECT_EQ(6, listing_code(p, L"C:\\no\\such.zip"));
    EXPECT_TRUE(lists());
    EXPECT_EQ(6, listing_code(p, L"C:\\" + std::wstring(300, L'x')));
    EXPECT_TRUE(lists());
    HLOCAL h = nullptr;
    EXPECT_EQ(-1, p.GetArchiveInfoW(s.archive.c_str(), 0, 3, &h));
    EXPECT_TRUE(lists());
    EXPECT_EQ(-1, p.GetArchiveInfoW(nullptr, 0, 0, &h));
    EXPECT_TRUE(lists());
    // The archive is rewritten and now fails its test, then passes again.
    s.set_output("t", "ERROR: broken\r\n");
    s.touch();
    EXPECT_EQ(2, listing_code(p, s.archive));
    s.set_output("t", "Everything is Ok\r\n");
    s.touch();
    EXPECT_TRUE(lists());
    EXPECT_TRUE(fetches(0));

    // A member missing from a fresh listing, then from the cached table.
    Plugin q(s.ini());
    EXPECT_EQ("<rc -1>", fetch_memory(q, s.archive, 5));
    EXPECT_EQ("<rc 2>", fetch_memory(q, s.archive, 5));
    EXPECT_TRUE(fetches(1));

    // The output folder is missing, then the file exists, then all is well.
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ(9, fetch_file(p, s.archive, 0, join(out, L"missing")));
    write_bytes(join(out, L"a.png"), "in the way");
    EXPECT_EQ(9, p.GetFile(ansi.c_str(), 0, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0));
    EXPECT_EQ("in the way", read_bytes(join(out, L"a.png")));
    DeleteFileW(join(out, L"a.png").c_str());
    EXPECT_EQ(0, p.GetFile(ansi.c_str(), 0, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0));
    EXPECT_EQ(kBytes, read_bytes(join(out, L"a.png")));

    // The archiver crashes while extracting (nothing kept for the archive
    // as it is now), then works again.
    s.touch();
    EXPECT_TRUE(lists());
    write_bytes(join(s.dir, L"crash-x.txt"), "");
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    DeleteFileW(join(s.dir, L"crash-x.txt").c_str());
    EXPECT_TRUE(fetches(0));
    EXPECT_TRUE(lists());
}

TEST(HostAbuse, IsSupportedWithHandlesThatAreNoFiles) {
    Served s;
    Plugin p(s.ini());
    // Values below 0x10000 are taken for handles: these are none.
    for (uintptr_t v : {0x0, 0x1, 0x2, 0x3, 0x7, 0x1234, 0xFFFC, 0xFFFF}) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) continue;  // a real one, by chance
        EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), reinterpret_cast<void*>(v))) << v;
        EXPECT_EQ(0, p.IsSupported(s.ansi_archive().c_str(), reinterpret_cast<void*>(v))) << v;
    }
    // Real handles that are no disk file: an event, the NUL device, a folder.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    HANDLE folder = CreateFileW(fresh_dir(L"folder").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    for (HANDLE h : {event, nul, folder}) {
        EXPECT_LT(reinterpret_cast<uintptr_t>(h), 0x10000u);
        EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), h));
        CloseHandle(h);
    }

    // An empty pipe: reading it would wait for a writer.
    HANDLE reader, writer;
    ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
    struct Call {
        Plugin* p;
        const wchar_t* archive;
        HANDLE h;
        int rc;
    } call{&p, s.archive.c_str(), reader, -99};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* c) -> DWORD WINAPI {
            Call* x = static_cast<Call*>(c);
            x->rc = x->p->IsSupportedW(x->archive, x->h);
            return 0;
        },
        &call, 0, nullptr);
    bool answered = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    if (!answered) {
        DWORD put;
        WriteFile(writer, "12345678", 8, &put, nullptr);  // let it go
        WaitForSingleObject(thread, INFINITE);
    }
    EXPECT_TRUE(answered) << "IsSupportedW waited on an empty pipe";
    EXPECT_EQ(0, call.rc);
    for (HANDLE h : {thread, reader, writer}) CloseHandle(h);

    EXPECT_EQ("", s.letters());
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
}

TEST(HostAbuse, RecordsAndHandlesPrefilledWithGarbage) {
    Served s;
    Plugin p(s.ini());
    std::string ansi = s.ansi_archive();
    LocalBlock wtable, atable;
    ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &wtable.h));
    ASSERT_EQ(0, p.GetArchiveInfo(ansi.c_str(), 0, 0, &atable.h));
    const fileInfoW& wb = static_cast<const fileInfoW*>(wtable.h)[1];
    const fileInfo& ab = static_cast<const fileInfo*>(atable.h)[1];

    // A found member's record is written whole, padding and all.
    fileInfoW winfo;
    memset(&winfo, 0xCC, sizeof winfo);
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"b.png", 0, &winfo));
    EXPECT_EQ(0, memcmp(&wb, &winfo, sizeof winfo));
    fileInfo ainfo;
    memset(&ainfo, 0xFF, sizeof ainfo);
    ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, "b.png", 0, &ainfo));
    EXPECT_EQ(0, memcmp(&ab, &ainfo, sizeof ainfo));

    // With no name, the garbage position names no member.
    memset(&winfo, 0xCC, sizeof winfo);
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"", 0, &winfo));
    memset(&ainfo, 0xCC, sizeof ainfo);
    EXPECT_EQ(-1, p.GetFileInfo(ansi.c_str(), 0, "", 0, &ainfo));
    // A garbage position that happens to name one finds it.
    memset(&ainfo, 0xCC, sizeof ainfo);
    ainfo.position = 1;
    ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, "", 0, &ainfo));
    EXPECT_EQ(0, memcmp(&ab, &ainfo, sizeof ainfo));

    // Handle destinations: NULL after any failed listing, untouched after a failed fetch.
    for (unsigned flag : {0u, 1u}) {
        EXPECT_NE(0, listing_code(p, L"C:\\no\\such.zip", 0, flag));
        EXPECT_NE(0, listing_code(p, L"C:\\no\\such.zip", 0, flag, true));
        HLOCAL h = garbage_handle();
        EXPECT_NE(0, p.GetFileW(L"C:\\no\\such.zip", 0, reinterpret_cast<LPWSTR>(&h), 0x100 | flag, nullptr, 0));
        EXPECT_NE(0, p.GetFile("C:\\no\\such.zip", 0, reinterpret_cast<LPSTR>(&h), 0x100 | flag, nullptr, 0));
        EXPECT_EQ(garbage_handle(), h);
    }
}
