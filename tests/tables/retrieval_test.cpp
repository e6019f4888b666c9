// Finding or building an archive's table, seen through the information and
// retrieval calls: which archiver runs each call makes, and what it answers.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_host.h"

namespace {

// A stand-in archive listing three files and a folder.
struct ThreeMembers : DictatedArchive {
    ThreeMembers() : DictatedArchive(listing_block("dir", "0") + listing_block("dir\\One.png", "10") +
                                     listing_block("two.png", "20") + listing_block("dir\\three.png", "30")) {}
};

}  // namespace

// Sets an archive's last write to a time of its own choosing.
void set_written(const std::wstring& path, uint64_t filetime) {
    HANDLE f = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    FILETIME t = {static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
    SetFileTime(f, nullptr, nullptr, &t);
    CloseHandle(f);
}

TEST(Retrieval, AnUnchangedArchiveIsTestedAndListedOnce) {
    ThreeMembers s;
    Plugin p(s.ini(kTablesOnly));
    auto ask = [&] {
        EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), const_cast<char*>("PK")));
        EXPECT_EQ(3u, s.list(p).size());
        fileInfoW info = {};
        EXPECT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"TWO.PNG", 0, &info));
        // As a fresh listing would: a member not there is -1.
        EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"dir", 0, &info));
    };
    ask();
    ask();
    EXPECT_EQ("tl", s.letters());
    // The listing's command line, quoting included.
    EXPECT_EQ(L"\"" + join(s.dir, L"7z.exe") + L"\" l \"" + s.archive + L"\" -slt -ba -sccUTF-8", s.runs()[1]);

    // Whatever changes the archive or the settings that shape its table
    // brings the work back: a new size, a new time, another file of the
    // same size and time, then maxMB, tar and dir.
    std::string letters = "tl";
    auto again = [&](const std::string& runs) {
        ask();
        letters += runs;
        EXPECT_EQ(letters, s.letters());
    };
    s.touch();
    again("tl");
    set_written(s.archive, 132000000000000000ULL);
    again("tl");
    std::wstring twin = s.archive + L".twin";
    ASSERT_TRUE(CopyFileW(s.archive.c_str(), twin.c_str(), FALSE));
    set_written(twin, 132000000000000000ULL);
    ASSERT_TRUE(MoveFileExW(twin.c_str(), s.archive.c_str(), MOVEFILE_REPLACE_EXISTING));
    again("tl");
    p.write_ini(s.ini(kTablesOnly + L"maxMB=63\r\n"));
    again("l");  // the test's verdict does not depend on it
    // Through the tar pipe: two runs joined, started one after the other,
    // which may log in either order.
    p.write_ini(s.ini(kTablesOnly + L"maxMB=63\r\ntar=*.zip\r\n"));
    s.set_output("l-si", listing_block("one.png", "10") + listing_block("two.png", "20") +
                             listing_block("three.png", "30"));
    ask();
    std::string piped = s.letters().substr(letters.size());
    std::sort(piped.begin(), piped.end());
    EXPECT_EQ("lx", piped);
    letters = s.letters();
    StandIn other("Everything is Ok\r\n");
    other.set_output("l", read_bytes(join(s.dir, L"out-l.txt")));
    p.write_ini(other.ini(kTablesOnly));
    ask();
    EXPECT_EQ("tl", other.letters());
    EXPECT_EQ(letters, s.letters());
}

TEST(Retrieval, ProbeFailuresAnswerBeforeAnyRun) {
    ThreeMembers s;
    Plugin p(s.ini());
    std::wstring tiny = join(fresh_dir(L"tiny"), L"tiny.zip");
    write_bytes(tiny, "12345");
    EXPECT_EQ(2, listing_code(p, tiny));
    EXPECT_EQ(2, listing_code(p, s.archive, 9));  // 7 bytes left
    EXPECT_EQ(2, listing_code(p, s.archive, 100));  // beyond the end
    EXPECT_EQ(6, listing_code(p, s.archive, static_cast<LONG_PTR>(0x80000000LL)));
    EXPECT_EQ(6, listing_code(p, L"C:\\no\\such\\archive.zip"));
    EXPECT_EQ(6, listing_code(p, L"C:\\" + std::wstring(300, L'x') + L".zip"));
    EXPECT_EQ("", s.letters());
    // Eight bytes at the offset are enough.
    EXPECT_EQ(0, listing_code(p, s.archive, 8));
    EXPECT_EQ("tl", s.letters());
}

TEST(Retrieval, MemoryInputIsNotServedAndTouchesNothing) {
    ThreeMembers s;
    Plugin p(s.ini());
    EXPECT_EQ(-1, listing_code(p, s.archive, 0, 1));
    EXPECT_EQ(-1, listing_code(p, s.archive, 0, 7, true));
    fileInfoW info = {};
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"two.png", 2, &info));
    fileInfo ainfo = {};
    EXPECT_EQ(-1, p.GetFileInfo(utf8(s.archive).c_str(), 0, "two.png", 4, &ainfo));
    HLOCAL bytes = nullptr;
    EXPECT_EQ(-1, p.GetFileW(s.archive.c_str(), 0, reinterpret_cast<LPWSTR>(&bytes), 0x101, nullptr, 0));
    EXPECT_EQ("", s.letters());
    // Flag bits above the input kind are not looked at.
    EXPECT_EQ(0, listing_code(p, s.archive, 0, 0x80));
}

TEST(Retrieval, NullPointersFromTheHostAreRefused) {
    ThreeMembers s;
    Plugin p(s.ini());
    HLOCAL table = nullptr;
    fileInfoW info = {};
    fileInfo ainfo = {};
    EXPECT_EQ(-1, p.GetArchiveInfoW(nullptr, 0, 0, &table));
    EXPECT_EQ(-1, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, nullptr));
    EXPECT_EQ(-1, p.GetArchiveInfo(nullptr, 0, 0, &table));
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, nullptr, 0, &info));
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"two.png", 0, nullptr));
    EXPECT_EQ(-1, p.GetFileInfo(utf8(s.archive).c_str(), 0, "two.png", 0, nullptr));
    EXPECT_EQ(-1, p.GetFileInfo(nullptr, 0, "two.png", 0, &ainfo));
    EXPECT_EQ(-1, p.GetFileW(s.archive.c_str(), 0, nullptr, 0x100, nullptr, 0));
    EXPECT_EQ(-1, p.GetFile(nullptr, 0, reinterpret_cast<LPSTR>(&table), 0x100, nullptr, 0));
    EXPECT_EQ("", s.letters());
}

TEST(Retrieval, FailedTestIsNotAnArchive) {
    ThreeMembers s;
    s.set_output("t", "ERROR: Can not open the file as archive\r\n");
    Plugin p(s.ini());
    EXPECT_EQ(2, listing_code(p, s.archive));
    EXPECT_EQ("t", s.letters());
}

TEST(Retrieval, MemberSearchByNameAndPosition) {
    ThreeMembers s;
    Plugin p(s.ini());
    fileInfoW info = {};
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"one.PNG", 0, &info));
    EXPECT_STREQ(L"One.png", info.filename);
    EXPECT_EQ(0u, info.position);
    EXPECT_EQ(10u, info.filesize);
    EXPECT_STREQ(L"dir\\", info.path);
    // A folder never enters the table.
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"dir", 0, &info));
    // No name: the position the host's record holds.
    fileInfoW by_position = {};
    by_position.position = 2;
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"", 0, &by_position));
    EXPECT_STREQ(L"three.png", by_position.filename);
    by_position.position = 3;
    by_position.filename[0] = 0;
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"", 0, &by_position));

    fileInfo ainfo;
    memset(&ainfo, 0xCC, sizeof ainfo);
    ASSERT_EQ(0, p.GetFileInfo(utf8(s.archive).c_str(), 0, "TWO.png", 0, &ainfo));
    EXPECT_EQ(0, memcmp(ainfo.method, "7\0\0\0\0\0\0\0", 8));
    EXPECT_STREQ("two.png", ainfo.filename);
    EXPECT_STREQ("", ainfo.path);
    EXPECT_EQ(1u, ainfo.position);
    EXPECT_EQ(20u, ainfo.filesize);
    EXPECT_EQ(0u, ainfo.crc);
    fileInfo apos = {};
    apos.position = 2;
    ASSERT_EQ(0, p.GetFileInfo(utf8(s.archive).c_str(), 0, "", 0, &apos));
    EXPECT_STREQ("three.png", apos.filename);
}

TEST(Retrieval, AnsiTableHasOneZeroRecordMore) {
    ThreeMembers s;
    Plugin p(s.ini());
    LocalBlock table;
    ASSERT_EQ(0, p.GetArchiveInfo(utf8(s.archive).c_str(), 0, 0, &table.h));
    ASSERT_EQ(4 * sizeof(fileInfo), LocalSize(table.h));
    std::vector<fileInfo> records = ansi_records_of(table.h);
    ASSERT_EQ(3u, records.size());
    EXPECT_STREQ("One.png", records[0].filename);
    EXPECT_EQ(0, memcmp(records[2].method, "7\0\0\0\0\0\0\0", 8));
    static const fileInfo zero = {};
    EXPECT_EQ(0, memcmp(static_cast<fileInfo*>(table.h) + 3, &zero, sizeof zero));
    // The wide table likewise.
    LocalBlock wide;
    ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &wide.h));
    EXPECT_EQ(4 * sizeof(fileInfoW), LocalSize(wide.h));
}

TEST(Retrieval, EmptyListingGivesOnlyTheTerminator) {
    ThreeMembers s;
    s.set_output("l", listing_block("folder", "0") + listing_block("empty.txt", "0"));
    Plugin p(s.ini());
    LocalBlock table, ansi;
    ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &table.h));
    EXPECT_EQ(sizeof(fileInfoW), LocalSize(table.h));
    ASSERT_EQ(0, p.GetArchiveInfo(utf8(s.archive).c_str(), 0, 0, &ansi.h));
    EXPECT_EQ(sizeof(fileInfo), LocalSize(ansi.h));
    EXPECT_EQ(0, static_cast<fileInfo*>(ansi.h)->method[0]);
}

TEST(Retrieval, ATableKeptServesFetchesWithoutTesting) {
    ThreeMembers s;
    Plugin p(s.ini(kTablesOnly));
    ASSERT_EQ(3u, s.list(p).size());
    // A position the table does not hold, found in the cache: 2, no run.
    EXPECT_EQ("<rc 2>", fetch_memory(p, s.archive, 3));
    EXPECT_EQ("tl", s.letters());
    // The same path in other letters finds the cached table.
    std::wstring upper = s.archive;
    CharUpperW(&upper[0]);
    EXPECT_EQ("<rc 2>", fetch_memory(p, upper, 7));
    EXPECT_EQ("tl", s.letters());
    // A fresh plug-in has no table: test, list; the position is missing: -1.
    Plugin q(s.ini(kTablesOnly));
    EXPECT_EQ("<rc -1>", fetch_memory(q, s.archive, 3));
    EXPECT_EQ("tltl", s.letters());
    // Paths the file system takes for one, but lstrcmpiW does not, are two
    // archives: final and small sigma.
    std::wstring sigma = join(fresh_dir(L"sigma"), L"\x03C3.zip"), final_sigma = join(fresh_dir(L"sigma"), L"\x03C2.zip");
    write_bytes(sigma, "0123456789abcdef");
    write_bytes(final_sigma, "0123456789abcdefg");
    EXPECT_EQ(0, listing_code(q, sigma));
    EXPECT_EQ(0, listing_code(q, final_sigma));
    EXPECT_EQ("tltltltl", s.letters());
}

TEST(Retrieval, ListingThatCannotRunIsAReadError) {
    ThreeMembers s;
    write_bytes(join(s.dir, L"vanish-after-t.txt"), "");
    Plugin p(s.ini());
    EXPECT_EQ(6, listing_code(p, s.archive));
    EXPECT_EQ("t", s.letters());
    // No table was stored, only the test's verdict: with the archiver back,
    // the next fetch lists.
    ASSERT_TRUE(MoveFileW(join(s.dir, L"7z.exe.gone").c_str(), join(s.dir, L"7z.exe").c_str()));
    DeleteFileW(join(s.dir, L"vanish-after-t.txt").c_str());
    EXPECT_EQ("<rc -1>", fetch_memory(p, s.archive, 9));
    EXPECT_EQ("tl", s.letters());
    expect_work_area_empty();
}

TEST(Retrieval, TheSeventeenthArchiveEvictsTheFirst) {
    ThreeMembers s;
    Plugin p(s.ini(kTablesOnly));
    std::vector<std::wstring> archives;
    for (int i = 0; i < 17; ++i) {
        archives.push_back(join(fresh_dir(L"ring"), L"a.zip"));
        ASSERT_TRUE(CopyFileW(s.archive.c_str(), archives.back().c_str(), FALSE));
    }
    // The runs one lookup of a member makes.
    auto runs_for = [&](int i) {
        size_t before = s.letters().size();
        fileInfoW info = {};
        EXPECT_EQ(0, p.GetFileInfoW(archives[i].c_str(), 0, L"two.png", 0, &info)) << i;
        return s.letters().substr(before);
    };
    for (int i = 0; i < 16; ++i) EXPECT_EQ("tl", runs_for(i)) << i;
    for (int i = 0; i < 16; ++i) EXPECT_EQ("", runs_for(i)) << i;
    EXPECT_EQ("tl", runs_for(16));
    EXPECT_EQ("tl", runs_for(0));  // its table and its verdict went with the 17th
    for (int i = 2; i <= 16; ++i) EXPECT_EQ("", runs_for(i)) << i;
    EXPECT_EQ("tl", runs_for(1));
}

// The name a host asks for a record by: its path, a backslash when the
// path lacks one, and its file name.
template <class Char>
std::basic_string<Char> host_name(const Char* path, const Char* filename) {
    std::basic_string<Char> name = path;
    if (!name.empty() && name.back() != '\\') name += '\\';
    return name + filename;
}

TEST(Retrieval, EachRecordCarriesItsFolderAndIsFoundThroughIt) {
    std::string deep(250, 'L');
    DictatedArchive s(listing_block("ch01\\001.jpg", "10") + listing_block("ch02\\001.jpg", "20") +
                      listing_block("001.jpg", "30") + listing_block(utf8(L"a\x00AD.png"), "40") +
                      listing_block("a.png", "50") + listing_block(deep + "\\x.png", "60") +
                      listing_block(deep + "M\\x.png", "70") + listing_block(deep + "\\y.png", "80"));
    // Reading ahead off: an album run still starting when the test ends is
    // ended, and Wine's console for it may hold the runner's output open.
    Plugin p(s.ini(kTablesOnly));
    std::vector<fileInfoW> records = s.list(p);
    ASSERT_EQ(8u, records.size());
    EXPECT_STREQ(L"ch02\\", records[1].path);
    static const wchar_t zero[200] = {};
    EXPECT_EQ(0, memcmp(zero, records[2].path, sizeof zero));
    EXPECT_EQ(std::wstring(199, L'L'), records[5].path);  // cut, and no backslash to pass for a folder
    LocalBlock ansi_table;
    std::string archive = utf8(s.archive);
    ASSERT_EQ(0, p.GetArchiveInfo(archive.c_str(), 0, 0, &ansi_table.h));
    std::vector<fileInfo> ansi = ansi_records_of(ansi_table.h);
    // Each record through its folder: its own, or (cut folders shared) none.
    for (size_t i = 0; i < records.size(); ++i) {
        fileInfoW info;
        memset(&info, 0xCC, sizeof info);
        int rc = p.GetFileInfoW(s.archive.c_str(), 0, host_name(records[i].path, records[i].filename).c_str(), 0, &info);
        fileInfo ainfo;
        memset(&ainfo, 0xCC, sizeof ainfo);
        int arc = p.GetFileInfo(archive.c_str(), 0, host_name(ansi[i].path, ansi[i].filename).c_str(), 0, &ainfo);
        if (i == 5 || i == 6) {
            EXPECT_EQ(-1, rc) << i;
            EXPECT_EQ(-1, arc) << i;
            // A failed look-up leaves the host's record as it was.
            EXPECT_EQ(0xCCu, info.method[0] & ainfo.method[0] & 0xFF);
            EXPECT_EQ(0xCCCCu, info.filename[0] & 0xFFFF);
            continue;
        }
        EXPECT_EQ(0, rc) << i;
        EXPECT_EQ(0, memcmp(&records[i], &info, sizeof info)) << i;
        EXPECT_EQ(0, arc) << i;
        EXPECT_EQ(0, memcmp(&ansi[i], &ainfo, sizeof ainfo)) << i;
    }
    fileInfoW info = {};
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"CH02/001.jpg", 0, &info));
    EXPECT_EQ(1u, info.position);
    // No folder: the one at the top of that name, else the first anywhere.
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"001.jpg", 0, &info));
    EXPECT_EQ(2u, info.position);
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"x.png", 0, &info));
    EXPECT_EQ(5u, info.position);
    // A soft hyphen is a character of the name, not something to pass over.
    ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"A.png", 0, &info));
    EXPECT_EQ(4u, info.position);
    fileInfo ainfo = {};
    ASSERT_EQ(0, p.GetFileInfo(archive.c_str(), 0, "a.PNG", 0, &ainfo));
    EXPECT_EQ(4u, ainfo.position);
    memset(&ainfo, 0xCC, sizeof ainfo);
    EXPECT_EQ(-1, p.GetFileInfo(archive.c_str(), 0, "ch03\\001.jpg", 0, &ainfo));
    EXPECT_EQ(0xCCu, ainfo.method[0]);
}

TEST(Retrieval, APositionIsServedOnlyFromTheArchiveItWasHandedOutFor) {
    ThreeMembers s;
    s.member(pattern_bytes(20, 1));  // two.png's listed size
    Plugin p(s.ini());
    auto fetch = [&](bool wide) { return wide ? fetch_memory(p, s.archive, 1) : fetch_memory_ansi(p, s.archive, 1); };
    std::vector<std::wstring> others;
    for (int i = 0; i < 16; ++i) {
        others.push_back(join(fresh_dir(L"other"), L"other.zip"));
        write_bytes(others.back(), "0123456789");
    }
    for (bool wide : {true, false}) {
        ASSERT_EQ(3u, s.list(p).size());
        s.touch();
        EXPECT_EQ("<rc 6>", fetch(wide));
        EXPECT_EQ("<rc 6>", fetch(wide));  // not once: until the host is handed the new table
        ASSERT_EQ(3u, s.list(p).size());
        EXPECT_EQ(pattern_bytes(20, 1), fetch(wide));
        // Its table pushed out by sixteen others changes nothing.
        s.touch();
        for (const std::wstring& other : others) EXPECT_EQ(0, listing_code(p, other));
        EXPECT_EQ("<rc 6>", fetch(wide));
        EXPECT_EQ("<rc 6>", fetch(!wide));
        fileInfoW info = {};
        ASSERT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"two.png", 0, &info));
        EXPECT_EQ(pattern_bytes(20, 1), fetch(wide));
    }
}

TEST(Retrieval, PositionsStayGuardedAcrossAReloadAndPastManyArchives) {
    ThreeMembers s;
    s.member(pattern_bytes(20, 1));
    Plugin p(s.ini());
    ASSERT_EQ(3u, s.list(p).size());
    p.reload();
    EXPECT_EQ(pattern_bytes(20, 1), fetch_memory(p, s.archive, 1));
    // Changed while the plug-in was not loaded: the host's positions are of
    // the archive as it was.
    p.unload();
    s.touch();
    p.reload();
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 1));
    p.reload();
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 1));
    ASSERT_EQ(3u, s.list(p).size());
    p.reload();
    EXPECT_EQ(pattern_bytes(20, 1), fetch_memory(p, s.archive, 1));
    // Many other archives listed since, the plug-in loaded again on the way.
    s.touch();
    for (int i = 0; i < 72; ++i) {
        std::wstring other = join(fresh_dir(L"other"), L"other.zip");
        write_bytes(other, "0123456789");
        EXPECT_EQ(0, listing_code(p, other));
        if (i % 24 == 0) p.reload();
    }
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 1));
}

TEST(Retrieval, AShortNameAndTheLongOneAreOneArchive) {
    ThreeMembers s;
    s.member(pattern_bytes(20, 1));
    std::wstring long_name = join(fresh_dir(L"long"), L"A long archive name.zip");
    ASSERT_TRUE(MoveFileW(s.archive.c_str(), long_name.c_str()));
    wchar_t short_name[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(long_name.c_str(), short_name, MAX_PATH), 0u);
    ASSERT_NE(long_name, short_name) << "no 8.3 names here";
    Plugin p(s.ini());
    ASSERT_EQ(0, listing_code(p, short_name, 0, 0, true));
    EXPECT_EQ(pattern_bytes(20, 1), fetch_memory(p, long_name, 1));
    EXPECT_EQ("tlx", s.letters());  // one table for both names
    // And positions handed out under one name hold under the other.
    write_bytes(long_name, read_bytes(long_name) + "!");
    EXPECT_EQ("<rc 6>", fetch_memory(p, long_name, 1));
    // The short name leads to the archive as it is now, under either name.
    ASSERT_EQ(0, listing_code(p, short_name, 0, 0, true));
    EXPECT_EQ(pattern_bytes(20, 1), fetch_memory(p, long_name, 1));
    EXPECT_EQ("tlxtlx", s.letters());
}

TEST(Retrieval, UnderTestListOpeningIsOneListingAndAPageOneRun) {
    Served s;
    Plugin p(s.ini(L"test=list\r\n"));
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
    EXPECT_EQ(2u, s.list(p).size());
    EXPECT_EQ("l", s.letters());
    EXPECT_EQ(kLonger, fetch_memory(p, s.archive, 1));
    EXPECT_EQ("lx", s.letters());
    // Back to test=full, the next request has the table tested first; the
    // positions the host holds still name the same members.
    p.write_ini(s.ini(L"test=full\r\n"));
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    EXPECT_EQ("lxtlx", s.letters());
    // A tested table serves test=list as it is.
    p.write_ini(s.ini(L"test=list\r\n"));
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
    EXPECT_EQ(2u, s.list(p).size());
    EXPECT_EQ("lxtlx", s.letters());
}

TEST(Retrieval, UnderTestListAMemberWhoseExtractionFailsIsRefusedWithNothingHandedOver) {
    Served s;
    Plugin p(s.ini(L"test=list\r\n"));
    ASSERT_EQ(2u, s.list(p).size());
    // The member comes out whole, but 7-Zip ends with 2 (a CRC that failed).
    write_bytes(join(s.dir, L"exit-x.txt"), "2");
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    EXPECT_EQ(6, fetch_file(p, s.archive, 1, out));
    EXPECT_TRUE(list_tree(out).empty());
    DeleteFileW(join(s.dir, L"exit-x.txt").c_str());
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    EXPECT_EQ('l', s.letters()[0]);
    EXPECT_EQ(std::string::npos, s.letters().find('t'));
    expect_work_area_empty(true, true);
}
