// Faults around the plug-in rather than in the archive: the archiver or its
// library missing, output of NUL bytes, captures that cannot be written, a
// work folder that goes away or turns into a file, and settings full of
// nonsense. Every entry point answers with a plain code and leaves nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

#include "support/test_host.h"

namespace {

// Every archive entry point once on the archive: the codes of IsSupported,
// GetArchiveInfo, GetFileInfo, GetFile into memory and into a folder, each
// wide then ANSI; what the fetches into the folder made goes to *made.
std::vector<int> ask_everything(Plugin& p, const std::wstring& archive, std::vector<std::wstring>* made) {
    std::string ansi = utf8(archive);
    std::wstring out = fresh_dir(L"out");
    fileInfoW wi = {};
    fileInfo ai = {};
    auto memory = [&](bool wide) {
        int rc = 0;
        std::string got = wide ? fetch_memory(p, archive, 0, &rc) : fetch_memory_ansi(p, archive, 1, &rc);
        EXPECT_TRUE(rc == 0 || got == "<rc " + std::to_string(rc) + ">") << got;  // the host's handle untouched
        return rc;
    };
    std::vector<int> codes = {p.IsSupportedW(archive.c_str(), kHeader), p.IsSupported(ansi.c_str(), kHeader),
                              listing_code(p, archive), listing_code(p, archive, 0, 0, true),
                              p.GetFileInfoW(archive.c_str(), 0, L"a.png", 0, &wi),
                              p.GetFileInfo(ansi.c_str(), 0, "a.png", 0, &ai), memory(true), memory(false),
                              fetch_file(p, archive, 0, out),
                              p.GetFile(ansi.c_str(), 1, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0)};
    *made = list_tree(out);
    return codes;
}

// The archive is refused before anything is listed: not an archive we serve.
void expect_refused_everywhere(Plugin& p, const std::wstring& archive) {
    std::vector<std::wstring> made;
    EXPECT_EQ((std::vector<int>{0, 0, 2, 2, 2, 2, 2, 2, 2, 2}), ask_everything(p, archive, &made));
    EXPECT_TRUE(made.empty());
}

}  // namespace

TEST(Faults, NoArchiverAtAll) {
    Served s;
    for (const std::wstring& dir : {fresh_dir(L"empty"), std::wstring(L"C:\\no\\such\\folder"), std::wstring()}) {
        SCOPED_TRACE("dir=" + utf8(dir));
        Plugin p(L"[UserSetting]\r\ndir=" + dir + L"\r\n");
        expect_refused_everywhere(p, s.archive);
    }
    EXPECT_TRUE(s.runs().empty());
    expect_work_area_empty(true, true);
}

TEST(Faults, NoArchiverLibrary) {
    Served s;
    ASSERT_TRUE(DeleteFileW(join(s.dir, L"7z.dll").c_str()));
    Plugin p(s.ini());
    expect_refused_everywhere(p, s.archive);
    EXPECT_TRUE(s.runs().empty());
    expect_work_area_empty(true, true);
}

TEST(Faults, ArchiverGoneAfterTheListing) {
    Served s;
    Plugin p(s.ini());
    ASSERT_EQ(2u, s.list(p).size());
    ASSERT_TRUE(MoveFileW(join(s.dir, L"7z.exe").c_str(), join(s.dir, L"7z.exe.gone").c_str()));
    // The cached table still names the member; its bytes cannot be had.
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("<rc 6>", fetch_memory_ansi(p, s.archive, 1));
    EXPECT_EQ(6, fetch_file(p, s.archive, 0, out));
    EXPECT_EQ(6, p.GetFile(s.ansi_archive().c_str(), 1, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0));
    EXPECT_TRUE(list_tree(out).empty());
    // Back again, the same plug-in serves at once.
    ASSERT_TRUE(MoveFileW(join(s.dir, L"7z.exe.gone").c_str(), join(s.dir, L"7z.exe").c_str()));
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    expect_work_area_empty(true, true);
}

TEST(Faults, Real7ZipWithoutItsLibraryAfterTheListing) {
    // 7z.exe alone cannot open any archive.
    std::wstring lonely = fresh_dir(L"lonely");
    ASSERT_TRUE(CopyFileW(join(seven_zip_dir(), L"7z.exe").c_str(), join(lonely, L"7z.exe").c_str(), FALSE));
    std::wstring zip = make_archive(L"x.zip", {{L"a.png", pattern_bytes(30, 1)}}, "zip");
    Plugin p(ini_with_7zip());
    ASSERT_EQ(1u, list(p, zip).size());
    p.write_ini(L"[UserSetting]\r\ndir=" + lonely + L"\r\n");
    EXPECT_EQ("<rc 6>", fetch_memory(p, zip, 0));
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), kHeader));
    EXPECT_EQ(2, listing_code(p, zip));
    expect_work_area_empty(true, true);
}

TEST(Faults, OutputOfNulBytes) {
    Served s;
    std::string nuls(4096, '\0');
    s.set_output("t", nuls);
    Plugin p(s.ini());
    expect_refused_everywhere(p, s.archive);

    // A listing of NULs: an archive with no member.
    s.set_output("t", "Everything is Ok\r\n");
    s.set_output("l", nuls);
    s.touch();
    EXPECT_TRUE(s.list(p).empty());
    EXPECT_EQ("<rc 2>", fetch_memory(p, s.archive, 0));

    // A member of NUL bytes is a member like any other.
    s.set_output("l", listing_block("a.png", "10") + listing_block("b.png", "700"));
    s.set_output("x", nuls);
    s.touch();
    std::string zeros(700, '\0');
    s.member(L"b.png", zeros);
    ASSERT_EQ(2u, s.list(p).size());
    EXPECT_EQ(zeros, fetch_memory(p, s.archive, 1));
    expect_work_area_empty(true, true);
}

TEST(Faults, CapturesThatCannotBeWritten) {
    // A folder stands where a request's capture would go. The names are this
    // thread's, numbered from 1 for each load of the plug-in.
    Served s;
    remove_tree(work_area());
    Plugin p(s.ini());
    // The load's first sweep done by a request that captures nothing.
    EXPECT_EQ(6, listing_code(p, join(work_area(), L"no-such.zip")));
    auto block_capture = [](int n) {
        std::wstring name = work_prefix(L'c') + std::to_wstring(GetCurrentThreadId()) + L"." + std::to_wstring(n) + L".txt";
        EXPECT_TRUE(CreateDirectoryW(join(work_area(), name).c_str(), nullptr));
    };
    // 1: the test. A verdict 7-Zip never gave is not kept.
    block_capture(1);
    EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), kHeader));
    // 2, 3: a test that passes, a listing that cannot be read.
    block_capture(3);
    EXPECT_EQ(6, listing_code(p, s.archive));
    // 4: a good listing, the test's verdict kept. A fetch captures nothing.
    ASSERT_EQ(2u, s.list(p).size());
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
    EXPECT_EQ("ttllx", s.letters());
    // Only the blocking folders are left, and what is kept ahead.
    expect_work_area_empty(true, true);
    std::vector<std::wstring> left = list_tree(work_area());
    EXPECT_EQ(2, std::count_if(left.begin(), left.end(), [](const std::wstring& f) { return !is_kept_ahead(f); }));
    remove_tree(work_area());
}

TEST(Faults, AReadOnlyWorkFolderStillServes) {
    // Windows does not stop files being made in a folder marked read-only.
    Served s;
    Plugin p(s.ini());
    ASSERT_TRUE(SetFileAttributesW(work_area().c_str(), FILE_ATTRIBUTE_READONLY));
    std::vector<std::wstring> made;
    std::vector<int> codes = ask_everything(p, s.archive, &made);
    SetFileAttributesW(work_area().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ((std::vector<int>{1, 1, 0, 0, 0, 0, 0, 0, 0, 0}), codes);
    EXPECT_EQ((std::vector<std::wstring>{L"a.png", L"b.png"}), made);
    expect_work_area_empty(true, true);
}

TEST(Faults, WorkFolderRemovedOrReplacedBetweenCalls) {
    Served s;
    Plugin p(s.ini());
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(2u, s.list(p).size());
    // Removed: each request makes it again.
    remove_tree(work_area());
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    remove_tree(work_area());
    ASSERT_EQ(0, p.GetFile(s.ansi_archive().c_str(), 1, const_cast<char*>(utf8(out).c_str()), 0, nullptr, 0));
    EXPECT_EQ(kLonger, read_bytes(join(out, L"b.png")));
    remove_tree(work_area());
    fileInfoW info = {};
    EXPECT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, L"b.png", 0, &info));
    remove_tree(work_area());
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));

    // Replaced by a file: nothing can be captured or extracted, though what
    // 7-Zip already told of the unchanged archive still answers.
    ASSERT_EQ(2u, s.list(p).size());
    expect_work_area_empty(false, true);
    remove_tree(work_area());
    write_bytes(work_area(), "in the way");
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    std::wstring out2 = fresh_dir(L"out");
    EXPECT_EQ(6, fetch_file(p, s.archive, 0, out2));
    EXPECT_TRUE(list_tree(out2).empty());
    EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader));
    EXPECT_EQ(2u, s.list(p).size());
    s.touch();
    EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), kHeader));
    EXPECT_EQ(2, listing_code(p, s.archive));
    EXPECT_EQ("in the way", read_bytes(work_area()));
    // The file gone, all is served again once the changed archive is listed.
    DeleteFileW(work_area().c_str());
    ASSERT_EQ(2u, s.list(p).size());
    EXPECT_EQ(kLonger, fetch_memory(p, s.archive, 1));
    expect_work_area_empty(true, true);
}

TEST(Faults, SettingsFullOfNonsense) {
    Served s;
    s.set_output("l", listing_block("small.png", "1") + listing_block("five.png", "5242880") + listing_block("big.png", "2146435072") +
                          listing_block("huge.png", "3000000000"));
    Plugin p(s.ini(kTablesOnly));
    auto listed = [&] { return static_cast<int>(s.list(p).size()); };
    // maxMB: no number and below zero keep nothing; huge keeps what a record can hold.
    std::vector<std::pair<std::wstring, int>> limits = {
        {L"abc", 0}, {L"-5", 0}, {L"12abc", 2}, {L"99999", 3}, {L"2047", 3}, {L"1", 1}};
    for (const auto& l : limits) {
        p.write_ini(s.ini(kTablesOnly + L"maxMB=" + l.first + L"\r\n"));
        EXPECT_EQ(l.second, listed()) << "maxMB=" << utf8(l.first);
    }

    // test: "list", in any case, claims an archive by its listing alone;
    // anything else has it tested first. Each time another archive.
    const std::pair<std::wstring, std::string> claims[] = {
        {L"", "tl"},          {L"test=full\r\n", "tl"},  {L"test=list\r\n", "l"}, {L"test=LiSt\r\n", "l"},
        {L"test=lists\r\n", "tl"}, {L"test=no\r\n", "tl"}, {L"test=\r\n", "tl"}};
    for (const auto& c : claims) {
        s.touch();
        p.write_ini(s.ini(kTablesOnly + c.first));
        size_t before = s.letters().size();
        EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader)) << utf8(c.first);
        EXPECT_EQ(2, listed()) << utf8(c.first);
        EXPECT_EQ(c.second, s.letters().substr(before)) << utf8(c.first);
    }

    // dir: quotes around it are the settings file's own and go; a stray one
    // or a path too long names no archiver.
    for (const std::wstring& dir : {L"\"" + s.dir + L"\"", L"'" + s.dir + L"\\'", L"\"" + s.dir + L"\\\""}) {
        p.write_ini(L"[UserSetting]\r\ndir=" + dir + L"\r\n");
        EXPECT_EQ(1, p.IsSupportedW(s.archive.c_str(), kHeader)) << utf8(dir);
    }
    size_t runs = s.runs().size();
    for (const std::wstring& dir : {L"\"" + s.dir, s.dir + L"\"", s.dir + L"\\" + std::wstring(300, L'd')}) {
        p.write_ini(L"[UserSetting]\r\ndir=" + dir + L"\r\n");
        EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), kHeader)) << utf8(dir);
        EXPECT_EQ(2, listing_code(p, s.archive)) << utf8(dir);
    }
    EXPECT_EQ(runs, s.runs().size());

    // ext of 300 characters: the filter is its first 259.
    std::wstring ext;
    while (ext.size() < 300) ext += L"*.e" + std::to_wstring(ext.size()) + L",";
    p.write_ini(s.ini(kTablesOnly + L"ext=" + ext + L"\r\n"));
    wchar_t filter[600];
    wmemset(filter, L'#', 600);
    EXPECT_EQ(259, p.GetPluginInfoW(2, filter, 600));
    std::wstring want = ext.substr(0, 259);
    for (wchar_t& c : want)
        if (c == L',') c = L';';
    EXPECT_EQ(want, std::wstring(filter));
    char afilter[600];
    EXPECT_EQ(259, p.GetPluginInfo(2, afilter, 600));
    EXPECT_EQ(utf8(want), afilter);

    // tar of 300 characters: only its first 259 count (the padding ends a
    // pattern there, so no cut pattern stands at the end).
    std::wstring pad;
    while (pad.size() < 290) pad += L"*.pads,";
    s.set_output("l-si", listing_block("piped.png", "3"));
    p.write_ini(s.ini(kTablesOnly + L"tar=*.zip," + pad + L"\r\n"));
    EXPECT_EQ(1, listed());
    p.write_ini(s.ini(kTablesOnly + L"tar=" + pad + L"*.zip\r\n"));
    EXPECT_EQ(2, listed());  // plain: small and five, within the default 64 MiB
    expect_work_area_empty(true, true);
}

TEST(Faults, SettingsFilesThatAreNoText) {
    Served s;
    std::string bom_garbage = std::string("\xFF\xFE", 2) + pattern_bytes(4000, 7);
    for (const std::string& body : {pattern_bytes(4096, 3), std::string(4096, '\0'), bom_garbage,
                                    std::string("[UserSetting]\r\nmaxMB=") + std::string(5000, '9') + "\r\n"}) {
        Plugin p(L"");
        write_bytes(join(p.dir, L"rizazur.ini"), body);
        wchar_t filter[300];
        EXPECT_EQ(16, p.GetPluginInfoW(2, filter, 300));
        EXPECT_STREQ(L"*.7z;*.zip;*.rar", filter);
        // No archiver is named: nothing is served, nothing runs.
        expect_refused_everywhere(p, s.archive);
    }
    EXPECT_TRUE(s.runs().empty());
    expect_work_area_empty(true, true);
}

TEST(Faults, EitherHalfOfTheTarPipeFailingOrDying) {
    // The first run writes more than a pipe holds; the second reads it all.
    Served s;
    std::string tar = pattern_bytes(300000, 9);
    s.set_output("x-so", tar);
    s.set_output("l-si", listing_block("piped.png", "10"));
    Plugin p(s.ini(kTablesOnly + L"tar=*.zip\r\n"));
    ASSERT_EQ(1u, s.list(p).size());
    EXPECT_EQ(tar, read_bytes(join(s.dir, L"in-l-si.txt")));
    // Either half that cannot start (after the test: starts 2 and 3): no
    // table, and the other half is not left waiting.
    for (int half : {2, 3}) {
        s.touch();
        StartHook hook(p, {half}, ERROR_ACCESS_DENIED);
        EXPECT_EQ(6, listing_code(p, s.archive)) << half;
        EXPECT_EQ(half, hook.starts());
    }
    // Either half dying midway: no table, and nothing kept.
    for (const wchar_t* crash : {L"crash-x-so.txt", L"crash-l-si.txt"}) {
        write_bytes(join(s.dir, crash), "");
        s.touch();
        EXPECT_EQ(6, listing_code(p, s.archive)) << utf8(crash);
        DeleteFileW(join(s.dir, crash).c_str());
    }
    EXPECT_EQ(1u, s.list(p).size());
    expect_work_area_empty(true, true);
}

TEST(Faults, RunsThatDidNotEndWellAreNoAnswer) {
    // A member above 4 KiB, its full length written, then the run ends
    // badly: what 7-Zip cut short leaves behind.
    std::string cut = pattern_bytes(3000, 5) + std::string(2000, '\0');
    DictatedArchive s(listing_block("a.png", "5000"));
    s.member(cut);
    Plugin p(s.ini(kTablesOnly));
    ASSERT_EQ(1u, s.list(p).size());
    std::wstring out = fresh_dir(L"out");
    for (const char* code : {"2", "1", "3221225477"}) {
        write_bytes(join(s.dir, L"exit-x.txt"), code);
        EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0)) << code;
        EXPECT_EQ(6, fetch_file(p, s.archive, 0, out)) << code;
        EXPECT_TRUE(list_tree(out).empty());
    }
    DeleteFileW(join(s.dir, L"exit-x.txt").c_str());
    EXPECT_EQ(cut, fetch_memory(p, s.archive, 0));

    // A test or a listing that ended badly is neither served nor kept.
    s.touch();
    size_t before = s.runs().size();
    write_bytes(join(s.dir, L"exit-t.txt"), "1");
    EXPECT_EQ(0, p.IsSupportedW(s.archive.c_str(), const_cast<char*>(kHeader)));
    DeleteFileW(join(s.dir, L"exit-t.txt").c_str());
    write_bytes(join(s.dir, L"exit-l.txt"), "2");
    EXPECT_EQ(6, listing_code(p, s.archive));
    DeleteFileW(join(s.dir, L"exit-l.txt").c_str());
    EXPECT_EQ(1u, s.list(p).size());
    EXPECT_EQ("ttll", s.letters().substr(before));
    expect_work_area_empty(true);
}

TEST(Faults, EitherHalfOfTheTarPipeEndingBadlyIsNoAnswer) {
    DictatedArchive s("");
    s.set_output("l-si", listing_block("t.png", "10"));
    s.member(kBytes);
    std::wstring tgz = join(fresh_dir(L"arc"), L"piped.tgz");
    write_bytes(tgz, "0123456789abcdef");
    Plugin p(s.ini());
    ASSERT_EQ(1u, list(p, tgz).size());
    for (const wchar_t* half : {L"exit-x-so.txt", L"exit-x-si.txt"}) {
        write_bytes(join(s.dir, half), "2");
        EXPECT_EQ("<rc 6>", fetch_memory(p, tgz, 0)) << utf8(half);
        DeleteFileW(join(s.dir, half).c_str());
    }
    // The listing's first half is the same outer extraction.
    write_bytes(tgz, "0123456789abcdefg");
    write_bytes(join(s.dir, L"exit-x-so.txt"), "2");
    EXPECT_EQ(6, listing_code(p, tgz));
    expect_work_area_empty(true);
}
