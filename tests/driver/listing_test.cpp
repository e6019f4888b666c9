// Listing archives made by the real 7-Zip, through GetArchiveInfoW.
#include <gtest/gtest.h>

#include <map>

#include "support/test_host.h"

namespace {

const std::vector<Entry> kMixed = {
    {L"cover.png", pattern_bytes(10, 1)},
    {L"empty.txt", ""},
    {L"empty folder\\", ""},
    {L"a\\b\\deep.jpg", pattern_bytes(3000, 2)},
    {L"one\\same.gif", pattern_bytes(11, 3)},
    {L"two\\same.gif", pattern_bytes(12, 4)},
    {L"caf\x00E9.png", pattern_bytes(13, 5)},
    {L"\x65E5\x672C\x8A9E.png", pattern_bytes(14, 6)},
    {L"smile \xD83D\xDE00.png", pattern_bytes(15, 7)},
};

// A listing must hold every non-empty file, by its path and size.
void expect_listing(const std::vector<fileInfoW>& records, const std::vector<Entry>& entries, long long mtime) {
    std::multimap<std::wstring, uintptr_t> want, seen;
    for (const Entry& e : entries)
        if (!e.bytes.empty()) want.emplace(e.path, e.bytes.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const fileInfoW& r = records[i];
        EXPECT_EQ(0, memcmp(r.method, "7\0z\0\0\0\0\0", 8));
        EXPECT_EQ(i, r.position);
        EXPECT_EQ(r.filesize, r.compsize);
        EXPECT_EQ(mtime, static_cast<long long>(r.timestamp));
        EXPECT_EQ(0u, r.crc);
        seen.emplace(std::wstring(r.path) + r.filename, r.filesize);
    }
    EXPECT_EQ(want, seen);
}

class Listing : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Listing, KeepsEveryNonEmptyFileByNameWithItsSize) {
    std::string type = GetParam();
    std::wstring name = L"mixed." + widen(type == "txz" ? "tar.xz" : type);
    std::wstring archive = make_archive(name, kMixed, type);
    Plugin p(ini_with_7zip());
    expect_listing(list(p, archive), kMixed, unix_mtime(archive));
}

INSTANTIATE_TEST_SUITE_P(Formats, Listing, ::testing::Values("zip", "7z", "tar", "tgz", "txz"));

TEST(ListingLimit, MemberOfExactlyTheLimitIsKeptOneByteMoreIsNot) {
    std::vector<Entry> entries = {{L"exact.bin", pattern_bytes(1 << 20, 1)},
                                  {L"over.bin", pattern_bytes((1 << 20) + 1, 2)},
                                  {L"small.bin", pattern_bytes(5, 3)}};
    std::wstring archive = make_archive(L"limit.7z", entries, "7z");
    Plugin p(ini_with_7zip(L"maxMB=1\r\n"));
    std::map<std::wstring, uintptr_t> seen;
    for (const fileInfoW& r : list(p, archive)) seen[r.filename] = r.filesize;
    EXPECT_EQ((std::map<std::wstring, uintptr_t>{{L"exact.bin", 1u << 20}, {L"small.bin", 5}}), seen);
    p.write_ini(ini_with_7zip(L"maxMB=0\r\n"));
    EXPECT_TRUE(list(p, archive).empty());
}

TEST(ListingTarPipe, FollowsTheTarSetting) {
    std::vector<Entry> entries = {{L"in\\page1.png", pattern_bytes(20, 1)}, {L"page2.png", pattern_bytes(21, 2)}};
    // A gzip'd tar under a comic-book name goes through the pipe only when
    // its name matches a pattern of the setting as a whole.
    std::wstring tgz = make_archive(L"book.tgz", entries, "tgz");
    std::wstring cbz = join(fresh_dir(L"renamed"), L"book.cbz");
    std::wstring cb = join(fresh_dir(L"renamed"), L"book.cb");
    ASSERT_TRUE(CopyFileW(tgz.c_str(), cbz.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(tgz.c_str(), cb.c_str(), FALSE));

    Plugin p(ini_with_7zip());
    expect_listing(list(p, tgz), entries, unix_mtime(tgz));
    // Whatever its name, a gzip stream whose one member is a tar is one.
    expect_listing(list(p, cbz), entries, unix_mtime(cbz));

    p.write_ini(ini_with_7zip(L"tar=*.cbz\r\n"));
    expect_listing(list(p, cbz), entries, unix_mtime(cbz));
    expect_listing(list(p, cb), entries, unix_mtime(cb));

    // An empty setting sends every archive through the pipe.
    p.write_ini(ini_with_7zip(L"tar=\r\n"));
    std::wstring tgz_as_gz = join(fresh_dir(L"renamed"), L"book.gz");
    ASSERT_TRUE(CopyFileW(tgz.c_str(), tgz_as_gz.c_str(), FALSE));
    expect_listing(list(p, tgz_as_gz), entries, unix_mtime(tgz_as_gz));
}

TEST(ListingTarPipe, InnerTarExtensionChoosesThePipe) {
    std::vector<Entry> entries = {{L"x\\a.png", pattern_bytes(30, 1)}, {L"b.png", pattern_bytes(31, 2)}};
    std::wstring tgz = make_archive(L"photos.tgz", entries, "tgz");
    std::wstring targz = join(fresh_dir(L"renamed"), L"photos.TAR.gz");
    ASSERT_TRUE(CopyFileW(tgz.c_str(), targz.c_str(), FALSE));
    Plugin p(ini_with_7zip(L"tar=*.none\r\n"));
    expect_listing(list(p, targz), entries, unix_mtime(targz));
}

TEST(ListingTarPipe, CompressedTarsAreKnownByTheirContent) {
    // bzip2 and xz keep no name: 7-Zip's plain listing of them names no
    // member. With the default settings the pipe is tried, and serves them.
    std::vector<Entry> entries = {{L"in\\page1.png", pattern_bytes(40, 1)}, {L"page2.png", pattern_bytes(41, 2)}};
    Plugin p(ini_with_7zip());
    for (const char* type : {"tbz", "txz"}) {
        std::wstring archive = make_archive(L"book." + widen(type), entries, type);
        expect_listing(list(p, archive), entries, unix_mtime(archive));
        EXPECT_EQ(entries[1].bytes, fetch_memory(p, archive, 1)) << type;
    }
    // A bzip2 of something else lists as it did: nothing named, nothing kept.
    std::wstring text = join(fresh_dir(L"plain"), L"notes.txt");
    write_bytes(text, pattern_bytes(500, 3));
    std::wstring bz2 = join(fresh_dir(L"plain"), L"notes.txt.bz2");
    ASSERT_EQ(0, run_7z(L"a -tbzip2 \"" + bz2 + L"\" \"" + text + L"\""));
    EXPECT_TRUE(list(p, bz2).empty());
}

TEST(ListingTarPipe, ArchivesNamedByTheirShortPathsAreServedAsByTheirLongNames) {
    std::vector<Entry> entries = {{L"in\\page1.png", pattern_bytes(60, 1)}, {L"page2.png", pattern_bytes(61, 2)}};
    Plugin p(ini_with_7zip());
    for (const char* type : {"tgz", "zip"}) {
        std::wstring archive =
            make_archive(std::wstring(L"Comic volume one.") + (type[0] == 't' ? L"tar.gz" : L"zip"), entries, type);
        wchar_t short_path[MAX_PATH];
        ASSERT_GT(GetShortPathNameW(archive.c_str(), short_path, MAX_PATH), 0u);
        ASSERT_NE(archive, short_path) << "no 8.3 names here";
        // As the ANSI host passes it: ".GZ" alone says nothing of a tar.
        std::string ansi = utf8(short_path);
        LocalBlock table;
        ASSERT_EQ(0, p.GetArchiveInfo(ansi.c_str(), 0, 0, &table.h)) << type;
        std::vector<fileInfo> records = ansi_records_of(table.h);
        ASSERT_EQ(2u, records.size()) << type;
        for (const fileInfo& r : records) {
            fileInfo info = {};
            std::string name = std::string(r.path) + r.filename;
            ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, name.c_str(), 0, &info)) << name;
            EXPECT_EQ(r.position, info.position);
            EXPECT_EQ(entries[name == "page2.png"].bytes, fetch_memory_ansi(p, short_path, r.position));
        }
    }
}
