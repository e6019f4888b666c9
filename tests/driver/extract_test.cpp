// Fetching members with GetFile(W): every kept member of archives made by
// the real 7-Zip comes back byte for byte, into memory and into files.
#include <gtest/gtest.h>

#include <map>

#include "support/test_host.h"

namespace {

const std::vector<Entry>& entries() {
    static const std::vector<Entry> e = {
        {L"cover.png", pattern_bytes(1000, 1)},
        {L"empty.txt", ""},
        {L"empty folder\\", ""},
        {L"a\\b\\deep.jpg", pattern_bytes(70000, 2)},
        {L"one\\same.gif", pattern_bytes(11, 3)},
        {L"caf\x00E9 \x65E5\x672C.png", pattern_bytes(13, 5)},
        {L"smile \xD83D\xDE00.png", pattern_bytes(15, 7)},
        {L"name with spaces & (parens).bmp", pattern_bytes(300, 8)},
    };
    return e;
}

std::map<std::wstring, std::string> by_name(const std::vector<Entry>& e) {
    std::map<std::wstring, std::string> m;
    for (const Entry& x : e)
        if (!x.bytes.empty()) m[x.path.substr(x.path.find_last_of(L'\\') + 1)] = x.bytes;
    return m;
}

std::vector<fileInfoW> listing(Plugin& p, const std::wstring& archive) {
    LocalBlock table;
    EXPECT_EQ(0, p.GetArchiveInfoW(archive.c_str(), 0, 0, &table.h));
    return table.h ? records_of(table.h) : std::vector<fileInfoW>();
}

std::string fetch_memory(Plugin& p, const std::wstring& archive, uintptr_t position, int* rc = nullptr) {
    LocalBlock block;
    int r = p.GetFileW(archive.c_str(), static_cast<LONG_PTR>(position), reinterpret_cast<LPWSTR>(&block.h),
                       0x100, nullptr, 0);
    if (rc) *rc = r;
    if (r != 0 || !block.h) return std::string("<rc ") + std::to_string(r) + ">";
    return std::string(static_cast<const char*>(block.h), LocalSize(block.h));
}

class Fetching : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Fetching, EveryMemberBothWays) {
    std::string type = GetParam();
    std::wstring ext = type == "txz" ? L"tar.xz" : widen(type);
    std::wstring archive = make_archive(L"fetch." + ext, entries(), type, type == "7z" ? L"-ms=on" : L"");
    std::map<std::wstring, std::string> want = by_name(entries());
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = listing(p, archive);
    ASSERT_EQ(want.size(), records.size());

    std::wstring out = fresh_dir(L"out");
    for (const fileInfoW& r : records) {
        EXPECT_EQ(want[r.filename], fetch_memory(p, archive, r.position)) << utf8(r.filename);
        ASSERT_EQ(0, p.GetFileW(archive.c_str(), static_cast<LONG_PTR>(r.position), const_cast<wchar_t*>(out.c_str()),
                                0, nullptr, 0))
            << utf8(r.filename);
        EXPECT_EQ(want[r.filename], read_bytes(join(out, r.filename))) << utf8(r.filename);
    }
    // The ANSI form, into memory and into a folder.
    std::wstring aout = fresh_dir(L"aout");
    LocalBlock block;
    ASSERT_EQ(0, p.GetFile(utf8(archive).c_str(), 0, reinterpret_cast<LPSTR>(&block.h), 0x100, nullptr, 0));
    EXPECT_EQ(want[records[0].filename], std::string(static_cast<char*>(block.h), LocalSize(block.h)));
    ASSERT_EQ(0, p.GetFile(utf8(archive).c_str(), 0, const_cast<char*>(utf8(aout).c_str()), 0, nullptr, 0));
    EXPECT_EQ(want[records[0].filename], read_bytes(join(aout, records[0].filename)));

    // Only the member folders the archiver made stay behind in the work folder.
    for (const std::wstring& f : work_area_leftovers())
        EXPECT_TRUE(GetFileAttributesW(join(work_area(), f).c_str()) & FILE_ATTRIBUTE_DIRECTORY) << utf8(f);
}

INSTANTIATE_TEST_SUITE_P(Formats, Fetching, ::testing::Values("zip", "7z", "tar", "tgz", "txz"));

TEST(Fetch, SameNameInTwoFoldersToOneFolder) {
    std::vector<Entry> e = {{L"x\\same.png", pattern_bytes(40, 1)}, {L"y\\same.png", pattern_bytes(41, 2)}};
    std::wstring archive = make_archive(L"twins.zip", e, "zip");
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = listing(p, archive);
    ASSERT_EQ(2u, records.size());
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(0, p.GetFileW(archive.c_str(), 0, const_cast<wchar_t*>(out.c_str()), 0, nullptr, 0));
    std::string first = read_bytes(join(out, L"same.png"));
    EXPECT_EQ(9, p.GetFileW(archive.c_str(), 1, const_cast<wchar_t*>(out.c_str()), 0, nullptr, 0));
    EXPECT_EQ(first, read_bytes(join(out, L"same.png")));
    EXPECT_EQ(9, p.GetFileW(archive.c_str(), 0, const_cast<wchar_t*>(L"C:\\no\\such\\folder"), 0, nullptr, 0));
}

TEST(Fetch, AMemberAndItsNamesakeInASubfolder) {
    // Extracting "c.png" may also bring out "sub\c.png"; the second fetch must
    // still give that member's own bytes.
    std::vector<Entry> e = {{L"c.png", pattern_bytes(50, 1)}, {L"sub\\c.png", pattern_bytes(51, 2)}};
    std::wstring archive = make_archive(L"namesakes.zip", e, "zip");
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = listing(p, archive);
    ASSERT_EQ(2u, records.size());
    for (int round = 0; round < 2; ++round)
        for (const fileInfoW& r : records) {
            int rc = 0;
            std::string got = fetch_memory(p, archive, r.position, &rc);
            EXPECT_EQ(0, rc) << round << " " << r.position;
            EXPECT_TRUE(got == e[0].bytes || got == e[1].bytes) << got.size();
        }
}

TEST(Fetch, PositionsPastTheEndAndArchivesThatVanished) {
    std::vector<Entry> e = {{L"f\\", ""}, {L"f\\only.png", pattern_bytes(60, 1)}};
    std::wstring archive = make_archive(L"one.7z", e, "7z");
    Plugin p(ini_with_7zip());
    ASSERT_EQ(1u, listing(p, archive).size());
    // The folder takes no position: 0 is the file.
    EXPECT_EQ(e[1].bytes, fetch_memory(p, archive, 0));
    HLOCAL untouched = reinterpret_cast<HLOCAL>(0x5678);
    EXPECT_EQ(2, p.GetFileW(archive.c_str(), 1, reinterpret_cast<LPWSTR>(&untouched), 0x100, nullptr, 0));
    EXPECT_EQ(2, p.GetFileW(archive.c_str(), -1, reinterpret_cast<LPWSTR>(&untouched), 0x100, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(0x5678), untouched);
    // The table is cached, but the archive is gone: no bytes, no success.
    ASSERT_TRUE(DeleteFileW(archive.c_str()));
    EXPECT_EQ(6, p.GetFileW(archive.c_str(), 0, reinterpret_cast<LPWSTR>(&untouched), 0x100, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(0x5678), untouched);
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ(6, p.GetFileW(archive.c_str(), 0, const_cast<wchar_t*>(out.c_str()), 0, nullptr, 0));
    EXPECT_TRUE(list_tree(out).empty());
}
