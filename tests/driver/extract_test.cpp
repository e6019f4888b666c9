// Fetching members with GetFile(W): every kept member of archives made by
// the real 7-Zip comes back byte for byte, into memory and into files.
#include <gtest/gtest.h>

#include <map>

#include "support/test_host.h"

namespace {

const std::vector<Entry> kEntries = {
    {L"cover.png", pattern_bytes(1000, 1)},
    {L"empty.txt", ""},
    {L"empty folder\\", ""},
    {L"a\\b\\deep.jpg", pattern_bytes(70000, 2)},
    {L"one\\same.gif", pattern_bytes(11, 3)},
    {L"caf\x00E9 \x65E5\x672C.png", pattern_bytes(13, 5)},
    {L"smile \xD83D\xDE00.png", pattern_bytes(15, 7)},
    {L"name with spaces & (parens).bmp", pattern_bytes(300, 8)},
};

class Fetching : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Fetching, EveryMemberBothWays) {
    std::string type = GetParam();
    std::wstring ext = type == "txz" ? L"tar.xz" : widen(type);
    std::wstring archive = make_archive(L"fetch." + ext, kEntries, type, type == "7z" ? L"-ms=on" : L"");
    std::map<std::wstring, std::string> want = bytes_by_name(kEntries);
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, archive);
    ASSERT_EQ(want.size(), records.size());

    std::wstring out = fresh_dir(L"out");
    for (const fileInfoW& r : records) {
        EXPECT_EQ(want[r.filename], fetch_memory(p, archive, r.position)) << utf8(r.filename);
        ASSERT_EQ(0, fetch_file(p, archive, r.position, out)) << utf8(r.filename);
        EXPECT_EQ(want[r.filename], read_bytes(join(out, r.filename))) << utf8(r.filename);
    }
    // The ANSI form, into memory and into a folder.
    std::wstring aout = fresh_dir(L"aout");
    EXPECT_EQ(want[records[0].filename], fetch_memory_ansi(p, archive, 0));
    ASSERT_EQ(0, p.GetFile(utf8(archive).c_str(), 0, const_cast<char*>(utf8(aout).c_str()), 0, nullptr, 0));
    EXPECT_EQ(want[records[0].filename], read_bytes(join(aout, records[0].filename)));

    // Paged backward and in the popular host's order (current, next,
    // previous, the rest ahead, the rest behind), each by a fresh plug-in.
    std::vector<uintptr_t> backward, host_order;
    for (size_t i = records.size(); i-- > 0;) backward.push_back(i);
    size_t current = records.size() / 2;
    host_order = {current, current + 1, current - 1};
    for (size_t i = current + 2; i < records.size(); ++i) host_order.push_back(i);
    for (size_t i = current - 1; i-- > 0;) host_order.push_back(i);
    for (const auto& order : {backward, host_order}) {
        Plugin q(ini_with_7zip());
        ASSERT_EQ(records.size(), list(q, archive).size());
        for (uintptr_t i : order) EXPECT_EQ(want[records[i].filename], fetch_memory(q, archive, i)) << i;
    }

    // Nothing stays behind in the work folder once the plug-in is gone,
    // member folders and members kept ahead included.
    p.unload();
    expect_work_area_empty();
}

INSTANTIATE_TEST_SUITE_P(Formats, Fetching, ::testing::Values("zip", "7z", "tar", "tgz", "txz"));

TEST(Fetch, TarMembersListedFromDot) {
    // What "tar -czf x.tgz -C dir ." makes: every name begins "./".
    std::wstring dir = fresh_dir(L"dotted");
    std::wstring tar = join(dir, L"dotted.tar");
    write_tar(tar, {{"./", ""}, {"./photos/", ""}, {"./photos/sun.png", pattern_bytes(77, 1)},
                    {"./red.png", pattern_bytes(78, 2)}});
    std::wstring tgz = join(dir, L"dotted.tgz");
    ASSERT_EQ(0, run_7z(L"a -tgzip \"" + tgz + L"\" \"" + tar + L"\""));
    Plugin p(ini_with_7zip());
    for (const std::wstring& archive : {tar, tgz}) {
        std::vector<fileInfoW> records = list(p, archive);
        ASSERT_EQ(2u, records.size()) << utf8(archive);
        EXPECT_EQ(pattern_bytes(77, 1), fetch_memory(p, archive, 0)) << utf8(archive);
        EXPECT_EQ(pattern_bytes(78, 2), fetch_memory(p, archive, 1)) << utf8(archive);
    }
}

TEST(Fetch, SameNameInTwoFoldersToOneFolder) {
    std::vector<Entry> e = {{L"x\\same.png", pattern_bytes(40, 1)}, {L"y\\same.png", pattern_bytes(41, 2)},
                            {L"same.png", pattern_bytes(42, 3)}};
    std::wstring archive = make_archive(L"twins.zip", e, "zip");
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, archive);
    ASSERT_EQ(3u, records.size());
    // Each found through its folder, and fetched as itself, in both forms.
    std::string ansi = utf8(archive);
    for (const Entry& entry : e) {
        fileInfoW info = {};
        ASSERT_EQ(0, p.GetFileInfoW(archive.c_str(), 0, entry.path.c_str(), 0, &info)) << utf8(entry.path);
        EXPECT_EQ(entry.path, std::wstring(info.path) + info.filename);
        EXPECT_EQ(entry.bytes, fetch_memory(p, archive, info.position));
        fileInfo ainfo = {};
        ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, utf8(entry.path).c_str(), 0, &ainfo));
        EXPECT_EQ(info.position, ainfo.position);
    }
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(0, fetch_file(p, archive, 0, out));
    std::string first = read_bytes(join(out, L"same.png"));
    EXPECT_EQ(9, fetch_file(p, archive, 1, out));
    EXPECT_EQ(first, read_bytes(join(out, L"same.png")));
    EXPECT_EQ(9, fetch_file(p, archive, 0, L"C:\\no\\such\\folder"));
}

TEST(Fetch, AMemberAndItsNamesakeInASubfolder) {
    // Extracting "c.png" may also bring out "sub\c.png"; the second fetch must
    // still give that member's own bytes.
    std::vector<Entry> e = {{L"c.png", pattern_bytes(50, 1)}, {L"sub\\c.png", pattern_bytes(51, 2)}};
    std::wstring archive = make_archive(L"namesakes.zip", e, "zip");
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, archive);
    ASSERT_EQ(2u, records.size());
    for (int round = 0; round < 2; ++round)
        for (const fileInfoW& r : records) {
            int rc = 0;
            EXPECT_EQ(e[r.filesize == 50 ? 0 : 1].bytes, fetch_memory(p, archive, r.position, &rc));
            EXPECT_EQ(0, rc) << round << " " << r.position;
        }
}

TEST(Fetch, PositionsPastTheEndAndArchivesThatVanished) {
    std::vector<Entry> e = {{L"f\\", ""}, {L"f\\only.png", pattern_bytes(60, 1)}};
    std::wstring archive = make_archive(L"one.7z", e, "7z");
    Plugin p(ini_with_7zip());
    ASSERT_EQ(1u, list(p, archive).size());
    // The folder takes no position: 0 is the file.
    EXPECT_EQ(e[1].bytes, fetch_memory(p, archive, 0));
    EXPECT_EQ("<rc 2>", fetch_memory(p, archive, 1));
    EXPECT_EQ("<rc 2>", fetch_memory(p, archive, static_cast<uintptr_t>(-1)));
    // The table is cached, but the archive is gone: no bytes, no success.
    ASSERT_TRUE(DeleteFileW(archive.c_str()));
    EXPECT_EQ("<rc 6>", fetch_memory(p, archive, 0));
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ(6, fetch_file(p, archive, 0, out));
    EXPECT_TRUE(list_tree(out).empty());
}

TEST(FetchRuns, AfterAListingAFetchIsOneExtraction) {
    DictatedArchive s(listing_block("d", "0") + listing_block("d\\pic.png", "10"));
    s.member("0123456789");
    Plugin p(s.ini());
    ASSERT_EQ(1u, s.list(p).size());
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    // Asked again: kept from the first.
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("tlx", s.letters());
    // Into a folder of its own in the work folder.
    std::wstring run = s.runs()[2];
    std::wstring head = L"\"" + join(s.dir, L"7z.exe") + L"\" x \"" + s.archive + L"\" -o\"" + work_area() + L"\\k.";
    EXPECT_EQ(head, run.substr(0, head.size()));
    EXPECT_EQ(L"\" -aoa -sccUTF-8 -i!\"d\\pic.png\"", run.substr(run.find(L'"', head.size())));
    // Without a table (a host that loaded the plug-in afresh): test, list, extract.
    Plugin q(s.ini());
    EXPECT_EQ("0123456789", fetch_memory(q, s.archive, 0));
    EXPECT_EQ("tlxtlx", s.letters());
    // A changed archive: the position the host holds named a member of a
    // file that is gone. Nothing is run, nothing handed over; the host's
    // next listing lists the new file.
    s.touch();
    EXPECT_EQ("<rc 6>", fetch_memory(q, s.archive, 0));
    EXPECT_EQ("tlxtlx", s.letters());
    ASSERT_EQ(1u, s.list(q).size());
    EXPECT_EQ("0123456789", fetch_memory(q, s.archive, 0));
    EXPECT_EQ("tlxtlxtlx", s.letters());
    // Reading ahead off: one run a fetch. To memory only the bytes, from
    // 7-Zip's output; to a folder the file 7-Zip makes, in a scratch folder.
    p.write_ini(s.ini(L"aheadMB=0\r\n"));
    ASSERT_EQ(1u, s.list(p).size());
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("tlxtlxtlxtlxx", s.letters());
    run = s.runs().back();
    EXPECT_NE(std::wstring::npos, run.find(L" -so "));
    EXPECT_EQ(std::wstring::npos, run.find(L" -o"));
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(0, fetch_file(p, s.archive, 0, out));
    EXPECT_EQ("0123456789", read_bytes(join(out, L"pic.png")));
    run = s.runs().back();
    EXPECT_NE(std::wstring::npos, run.find(L"-o\"" + work_area() + L"\\x."));
    EXPECT_EQ(std::wstring::npos, run.find(L" -so"));
}

TEST(FetchRuns, WhatAppearsMustBeTheOneFileOfTheListedSize) {
    DictatedArchive s(listing_block("long.png", "100") + listing_block("short.png", "5") +
                      listing_block("pic.png", "10"));
    Plugin p(s.ini());
    ASSERT_EQ(3u, s.list(p).size());
    std::wstring out = fresh_dir(L"out");
    // Nothing at all, or longer or shorter than listed: no bytes, no success.
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 2));
    EXPECT_EQ(6, fetch_file(p, s.archive, 2, out));
    s.member("0123456789");
    for (uintptr_t i : {0, 1}) {
        EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, i));
        EXPECT_EQ(6, fetch_file(p, s.archive, i, out));
    }
    EXPECT_TRUE(list_tree(out).empty());

    // A file of that name left in the work folder by anyone is no concern.
    write_bytes(join(work_area(), L"pic.png"), "stale byte");
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 2));
    EXPECT_EQ("stale byte", read_bytes(join(work_area(), L"pic.png")));
    DeleteFileW(join(work_area(), L"pic.png").c_str());
    p.unload();
    expect_work_area_empty();
}

TEST(FetchRuns, AMemberFoundByListingAgainMustBeTheOneInTheRecord) {
    // Paths too long in all to keep: every fetch lists again.
    std::string unkept;
    for (int i = 0; i < 20; ++i) unkept += listing_block(std::string(30000, 'f') + "\\" + std::to_string(i), "0");
    DictatedArchive s(listing_block("a.png", "10") + unkept);
    s.member("0123456789");
    Plugin p(s.ini());
    ASSERT_EQ(1u, s.list(p).size());
    // The archive's listing now differs at that position (the cached table
    // still stands: the archive file itself is unchanged).
    for (const char* size : {"10", "11"}) {
        s.set_output("l", listing_block(size[1] == '0' ? "b.png" : "a.png", size) + unkept);
        EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0)) << size;
    }
    s.set_output("l", listing_block("a.png", "10") + unkept);
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("tllllx", s.letters());
}

TEST(FetchRuns, NothingOutsideTheWorkFolderIsExtractedReadOrDeleted) {
    const char* names[] = {"..\\sentinel.txt", "a\\..\\..\\sentinel.txt", "..\\..\\x.png",
                           "C:\\sentinel.png", "\\rooted.png", "\\\\server\\share\\x.png",
                           "x.png:stream", ".. \\sentinel.txt", "d/../../sentinel.txt"};
    std::string listing;
    for (const char* n : names) listing += listing_block(n, "5");
    DictatedArchive s(listing);
    s.member("EVIL!");
    Plugin p(s.ini());
    ASSERT_EQ(9u, s.list(p).size());
    // The work folder's parent holds a file a crafted name points at.
    std::wstring sentinel = join(work_area(), L"..\\sentinel.txt");
    write_bytes(sentinel, "keep me");
    std::wstring out = fresh_dir(L"out");
    // File output refuses a name that is no plain file name (9) before it
    // would refuse the path (6).
    const int file_rc[] = {6, 6, 6, 6, 6, 6, 9, 6, 9};
    for (uintptr_t i = 0; i < 9; ++i) {
        EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, i)) << names[i];
        EXPECT_EQ(file_rc[i], fetch_file(p, s.archive, i, out)) << names[i];
    }
    EXPECT_EQ("keep me", read_bytes(sentinel));
    EXPECT_EQ(std::string::npos, s.letters().find('x'));
    EXPECT_TRUE(list_tree(out).empty());
}

TEST(FetchRuns, FileOutputMakesOnlyPlainFiles) {
    DictatedArchive s(listing_block("d\\CON", "5") + listing_block("nul.png", "5") + listing_block("Com1.jpg", "5") + listing_block("ok.png", "5") +
               listing_block("d\\..", "5") + listing_block("LPT9", "5"));
    s.member("bytes");
    Plugin p(s.ini());
    ASSERT_EQ(6u, s.list(p).size());
    std::wstring out = fresh_dir(L"out");
    for (uintptr_t i : {0, 1, 2, 5})
        EXPECT_EQ(9, fetch_file(p, s.archive, i, out)) << i;
    EXPECT_EQ(0, fetch_file(p, s.archive, 3, out));
    EXPECT_EQ(std::vector<std::wstring>{L"ok.png"}, list_tree(out));
    // A member whose path names a device is not extracted at all.
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 1));
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    EXPECT_EQ("bytes", fetch_memory(p, s.archive, 3));
}

TEST(Fetch, ThreadsFetchingTheSameArchiveAllGetTheirOwnBytes) {
    std::vector<Entry> e = {{L"p0.png", pattern_bytes(3000, 1)}, {L"d\\p1.png", pattern_bytes(3001, 2)},
                            {L"p2.png", pattern_bytes(3002, 3)}};
    std::wstring archive = make_archive(L"shared.7z", e, "7z");
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, archive);
    ASSERT_EQ(3u, records.size());
    std::map<uintptr_t, std::string> want;
    for (const fileInfoW& r : records) want[r.position] = bytes_by_name(e)[r.filename];
    // Threads as a host makes them: CreateThread, not the C runtime's.
    struct Job {
        Plugin* p;
        const std::wstring* archive;
        const std::map<uintptr_t, std::string>* want;
        int index, wrong;
    } jobs[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        jobs[i] = Job{&p, &archive, &want, i, 0};
        threads[i] = CreateThread(nullptr, 0, [](void* arg) -> DWORD WINAPI {
            Job& j = *static_cast<Job*>(arg);
            for (int k = 0; k < 4; ++k) {
                // Half the threads all want the same member.
                uintptr_t pos = j.index % 2 ? 1 : static_cast<uintptr_t>((j.index + k) % 3);
                if (fetch_memory(*j.p, *j.archive, pos) != j.want->at(pos)) ++j.wrong;
            }
            return 0;
        }, &jobs[i], 0, nullptr);
    }
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (int i = 0; i < 4; ++i) {
        CloseHandle(threads[i]);
        EXPECT_EQ(0, jobs[i].wrong) << "thread " << i;
    }
}

TEST(Fetch, AnAnsiHostFindsAndGetsWhatItWasShown) {
    // The host's thread runs under a locale of another code page than the
    // system's (Japanese, or Russian where the system's is Japanese); its
    // text and its files still go by the system's code page, and so does
    // every name it is shown.
    LCID saved = GetThreadLocale();
    LANGID other = GetACP() == 932 ? MAKELANGID(LANG_RUSSIAN, SUBLANG_RUSSIAN_RUSSIA)
                                   : MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
    SetThreadLocale(MAKELCID(other, SORT_DEFAULT));
    auto ansi_of = [](const std::wstring& w) {
        char out[600];
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, out, sizeof out, "_", nullptr);
        return std::string(out);
    };
    std::vector<Entry> e = {{L"caf\x00E9.png", pattern_bytes(90, 1)},
                            {L"\x65E5\\\x672C.png", pattern_bytes(91, 2)},
                            {L"\x6708\\\x672C.png", pattern_bytes(92, 3)}};
    // The archive's own name outside ASCII, within the system's code page.
    std::wstring archive = make_archive(GetACP() == 932 ? L"names \x65E5.zip" : L"names \x00E9.zip", e, "zip");
    Plugin p(ini_with_7zip());
    std::string ansi = ansi_of(archive);
    LocalBlock table;
    ASSERT_EQ(0, p.GetArchiveInfo(ansi.c_str(), 0, 0, &table.h));
    std::vector<fileInfo> records = ansi_records_of(table.h);
    ASSERT_EQ(3u, records.size());
    bool lossy = ansi_of(e[1].path) == ansi_of(e[2].path);
    std::vector<fileInfoW> wide = list(p, archive);
    auto entry = [&](uintptr_t position) {
        std::wstring name = std::wstring(wide[position].path) + wide[position].filename;
        return name == e[0].path ? e[0] : name == e[1].path ? e[1] : e[2];
    };
    for (const fileInfo& r : records) {
        EXPECT_EQ(ansi_of(entry(r.position).path), std::string(r.path) + r.filename);
        fileInfo info = {};
        std::string name = std::string(r.path) + r.filename;
        if (r.path[0] && lossy) {
            // Two folders the code page cannot tell apart: neither is guessed.
            EXPECT_EQ(-1, p.GetFileInfo(ansi.c_str(), 0, name.c_str(), 0, &info)) << name;
            continue;
        }
        ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, name.c_str(), 0, &info)) << name;
        EXPECT_EQ(r.position, info.position);
        // A folder each: namesakes from two folders go by one file name.
        std::wstring out = fresh_dir((L"out" + std::to_wstring(r.position)).c_str());
        std::string aout = ansi_of(out);
        ASSERT_EQ(0, p.GetFile(ansi.c_str(), static_cast<LONG_PTR>(r.position), const_cast<char*>(aout.c_str()), 0,
                               nullptr, 0));
        wchar_t file[200];
        MultiByteToWideChar(CP_ACP, 0, r.filename, -1, file, 200);
        EXPECT_EQ(entry(r.position).bytes, read_bytes(join(out, file))) << r.filename;
    }
    // Best fit would have shown "cafe.png": no member goes by that name.
    fileInfo info = {};
    EXPECT_EQ(-1, p.GetFileInfo(ansi.c_str(), 0, "cafe.png", 0, &info));
    SetThreadLocale(saved);
}

TEST(FetchRuns, PathsTooManyToKeepAreListedAgainAndMatchedByPosition) {
    // 800 paths of some 800 characters: more text than the listing keeps.
    std::string listing, folders;
    for (int f = 0; f < 4; ++f) folders += std::string(200, static_cast<char>('p' + f)) + "\\";
    for (int i = 0; i < 800; ++i)
        listing += listing_block("d" + std::to_string(i) + "\\" + folders + "m" + std::to_string(i) + ".png", "10");
    listing += listing_block("dup.png", "5") + listing_block("dup.png", "5");
    DictatedArchive s(listing);
    for (int i : {0, 417, 799}) s.member(L"m" + std::to_wstring(i) + L".png", "member" + std::to_string(1000 + i));
    Plugin p(s.ini());
    ASSERT_EQ(802u, s.list(p).size());
    for (int i : {799, 0, 417}) EXPECT_EQ("member" + std::to_string(1000 + i), fetch_memory(p, s.archive, static_cast<uintptr_t>(i)));
    // Namesakes: 7-Zip would bring out both under one name.
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 800));
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 801));
    EXPECT_EQ("tllxlxlxll", s.letters());
    expect_work_area_empty();
}

TEST(FetchRuns, AScratchFolderHoldingMoreThanTheMemberGivesNothing) {
    DictatedArchive s(listing_block("pic.png", "10"));
    s.member("0123456789");
    write_bytes(join(s.dir, L"second.bin"), "9876543210");
    Plugin p(s.ini(L"aheadMB=0\r\n"));  // the scratch folder of a member fetched alone
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
    EXPECT_EQ(6, fetch_file(p, s.archive, 0, out));
    EXPECT_TRUE(list_tree(out).empty());
    expect_work_area_empty();
}

TEST(FetchRuns, AScratchNameAlreadyTakenIsPassedOver) {
    // The first extraction's folder, left by an earlier load in this
    // process once the load's first sweep is done.
    DictatedArchive s(listing_block("pic.png", "10"));
    s.member("0123456789");
    Plugin p(s.ini(L"aheadMB=0\r\n"));  // the scratch folder of a member fetched alone
    ASSERT_EQ(1u, s.list(p).size());
    std::wstring taken = join(work_area(), work_prefix(L'x') + std::to_wstring(GetCurrentThreadId()) + L".1");
    ASSERT_TRUE(CreateDirectoryW(taken.c_str(), nullptr));
    write_bytes(join(taken, L"pic.png"), "stale byte");
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    EXPECT_EQ(std::vector<std::wstring>{L"pic.png"}, list_tree(taken));
    EXPECT_EQ("stale byte", read_bytes(join(taken, L"pic.png")));
    remove_tree(taken);
}

TEST(FetchRuns, AScratchFolderHeldOpenGoesAtUnload) {
    DictatedArchive s(listing_block("pic.png", "10"));
    s.member("0123456789");
    Holding holding(s, L"open-x.txt");
    Plugin p(s.ini(L"aheadMB=0\r\n"));  // the scratch folder of a member fetched alone
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 0));
    std::vector<std::wstring> held = list_tree(work_area());
    ASSERT_EQ(2u, held.size());
    holding.release();
    // Once the holder lets go, the file can be had alone.
    std::wstring file = join(work_area(), held[1]);
    HANDLE f = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 200 && f == INVALID_HANDLE_VALUE; ++i, Sleep(50))
        f = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);
    p.unload();
    EXPECT_FALSE(exists(work_area()));
}

TEST(FetchRuns, AnOutputPathOfTwoHundredSixtyWithTheNameIsRefused) {
    DictatedArchive s(listing_block("pic.png", "10"));
    s.member("0123456789");
    Plugin p(s.ini());
    for (size_t length : {259u, 260u}) {
        std::wstring base = fresh_dir(L"o");
        std::wstring folder = join(base, std::wstring(length - base.size() - 2 - 7, L'f'));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_EQ(length, folder.size() + 1 + 7);
        EXPECT_EQ(length < 260 ? 0 : 9, fetch_file(p, s.archive, 0, folder));
        EXPECT_EQ(length < 260, exists(join(folder, L"pic.png")));
    }
    p.unload();
    expect_work_area_empty();
}

TEST(FetchRuns, AMemberPathNearTheCommandLineLimit) {
    // A path a command line cannot name is not listed; one that fits alone
    // but not with the rest of the command is refused without a run.
    DictatedArchive s(listing_block("d\\" + std::string(32700, 'a') + "\\pic.png", "10") +
                      listing_block(std::string(32767, 'b'), "10") + listing_block("ok.png", "10"));
    s.member("0123456789");
    Plugin p(s.ini());
    ASSERT_EQ(2u, s.list(p).size());
    {
        // Refused by the plug-in itself: no start is asked of the system,
        // which would refuse such a line too.
        StartHook hook(p);
        EXPECT_EQ("<rc 6>", fetch_memory(p, s.archive, 0));
        EXPECT_EQ(0, hook.starts());
    }
    EXPECT_EQ("0123456789", fetch_memory(p, s.archive, 1));
    EXPECT_EQ("tlx", s.letters());
}
