// Finding or building an archive's table, seen through the information and
// retrieval calls: which archiver runs each call makes, and what it answers.
#include <gtest/gtest.h>

#include "support/test_host.h"

namespace {

// A stand-in archive listing three files and a folder.
struct ThreeMembers : DictatedArchive {
    ThreeMembers()
        : DictatedArchive(listing_block("dir", "0") + listing_block("dir\\One.png", "10") +
                          listing_block("two.png", "20") + listing_block("dir\\three.png", "30")) {}
};


}  // namespace

TEST(Retrieval, EveryInformationCallTestsAndListsAfresh) {
    ThreeMembers s;
    Plugin p(s.ini());
    for (int i = 0; i < 2; ++i) {
        LocalBlock table;
        ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &table.h));
        EXPECT_EQ(3u, records_of(table.h).size());
    }
    fileInfoW info = {};
    EXPECT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"TWO.PNG", 0, &info));
    EXPECT_EQ("tltltl", s.letters());
    // The listing's command line, quoting included.
    std::vector<std::wstring> runs = s.runs();
    EXPECT_EQ(L"\"" + join(s.dir, L"7z.exe") + L"\" l \"" + s.archive + L"\" -slt -ba -sccUTF-8", runs[1]);
}

TEST(Retrieval, ProbeFailuresAnswerBeforeAnyRun) {
    ThreeMembers s;
    Plugin p(s.ini());
    LocalBlock table;
    std::wstring tiny = join(fresh_dir(L"tiny"), L"tiny.zip");
    write_bytes(tiny, "12345");
    EXPECT_EQ(2, p.GetArchiveInfoW(tiny.c_str(), 0, 0, &table.h));
    EXPECT_EQ(2, p.GetArchiveInfoW(s.archive.c_str(), 9, 0, &table.h));  // 7 bytes left
    EXPECT_EQ(2, p.GetArchiveInfoW(s.archive.c_str(), 100, 0, &table.h));  // beyond the end
    EXPECT_EQ(6, p.GetArchiveInfoW(s.archive.c_str(), 0x80000000LL, 0, &table.h));
    EXPECT_EQ(6, p.GetArchiveInfoW(L"C:\\no\\such\\archive.zip", 0, 0, &table.h));
    std::wstring too_long = L"C:\\" + std::wstring(300, L'x') + L".zip";
    EXPECT_EQ(6, p.GetArchiveInfoW(too_long.c_str(), 0, 0, &table.h));
    EXPECT_EQ(nullptr, table.h);
    EXPECT_EQ("", s.letters());
    // Eight bytes at the offset are enough.
    EXPECT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 8, 0, &table.h));
    EXPECT_EQ("tl", s.letters());
}

TEST(Retrieval, MemoryInputIsNotServedAndTouchesNothing) {
    ThreeMembers s;
    Plugin p(s.ini());
    HLOCAL table = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(-1, p.GetArchiveInfoW(s.archive.c_str(), 0, 1, &table));
    EXPECT_EQ(nullptr, table);  // hosts read the handle, not only the code
    table = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(-1, p.GetArchiveInfo(utf8(s.archive).c_str(), 0, 7, &table));
    EXPECT_EQ(nullptr, table);
    fileInfoW info = {};
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"two.png", 2, &info));
    fileInfo ainfo = {};
    EXPECT_EQ(-1, p.GetFileInfo(utf8(s.archive).c_str(), 0, "two.png", 4, &ainfo));
    HLOCAL bytes = nullptr;
    EXPECT_EQ(-1, p.GetFileW(s.archive.c_str(), 0, reinterpret_cast<LPWSTR>(&bytes), 0x101, nullptr, 0));
    EXPECT_EQ("", s.letters());
    // Flag bits above the input kind are not looked at.
    LocalBlock served;
    EXPECT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0x80, &served.h));
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
    LocalBlock table;
    EXPECT_EQ(2, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &table.h));
    EXPECT_EQ(nullptr, table.h);
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
    // Records hold file names only.
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, L"dir\\One.png", 0, &info));
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

TEST(Retrieval, ATableFromTheCacheServesFetchesWithoutTesting) {
    ThreeMembers s;
    Plugin p(s.ini());
    LocalBlock table;
    ASSERT_EQ(0, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &table.h));
    HLOCAL bytes = nullptr;
    // A position the table does not hold, found in the cache: 2, no run.
    EXPECT_EQ(2, p.GetFileW(s.archive.c_str(), 3, reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0));
    EXPECT_EQ("tl", s.letters());
    // The same path in other letters finds the cached table.
    std::wstring upper = s.archive;
    CharUpperW(&upper[0]);
    EXPECT_EQ(2, p.GetFileW(upper.c_str(), 7, reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0));
    EXPECT_EQ("tl", s.letters());
    // A fresh plug-in has no table: test, list; the position is missing: -1.
    Plugin q(s.ini());
    EXPECT_EQ(-1, q.GetFileW(s.archive.c_str(), 3, reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0));
    EXPECT_EQ("tltl", s.letters());
    EXPECT_EQ(nullptr, bytes);
}

TEST(Retrieval, ListingThatCannotRunIsAReadError) {
    ThreeMembers s;
    write_bytes(join(s.dir, L"vanish-after-t.txt"), "");
    Plugin p(s.ini());
    LocalBlock table;
    EXPECT_EQ(6, p.GetArchiveInfoW(s.archive.c_str(), 0, 0, &table.h));
    EXPECT_EQ(nullptr, table.h);
    EXPECT_EQ("t", s.letters());
    // Nothing was stored: with the archiver back, the next fetch tests and lists.
    ASSERT_TRUE(MoveFileW(join(s.dir, L"7z.exe.gone").c_str(), join(s.dir, L"7z.exe").c_str()));
    DeleteFileW(join(s.dir, L"vanish-after-t.txt").c_str());
    HLOCAL bytes = nullptr;
    EXPECT_EQ(-1, p.GetFileW(s.archive.c_str(), 9, reinterpret_cast<LPWSTR>(&bytes), 0x100, nullptr, 0));
    EXPECT_EQ("ttl", s.letters());
    for (const std::wstring& f : work_area_leftovers()) ADD_FAILURE() << "left behind: " << utf8(f);
}
