// The support test through IsSupported(W): the real 7-Zip for what it says
// about real files, the stand-in for exact outputs and for counting runs.
#include <gtest/gtest.h>

#include "support/test_host.h"

namespace {

std::wstring good_zip() {
    return make_archive(L"good.zip", {{L"a.png", pattern_bytes(100, 1)}, {L"d\\b.png", pattern_bytes(50, 2)}},
                        "zip");
}

}  // namespace

TEST(Support, RealArchivesAndOtherFiles) {
    Plugin p(ini_with_7zip());
    std::wstring zip = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), kHeader));
    EXPECT_EQ(1, p.IsSupported(utf8(zip).c_str(), kHeader));

    std::wstring junk = join(fresh_dir(L"junk"), L"junk.zip");
    write_bytes(junk, "this is not an archive at all, just text\r\n");
    EXPECT_EQ(0, p.IsSupportedW(junk.c_str(), kHeader));

    // Damaged: the second half of a solid 7z is gone.
    std::wstring seven = make_archive(L"big.7z", {{L"x.bin", pattern_bytes(200000, 3)}}, "7z");
    std::string bytes = read_bytes(seven);
    write_bytes(seven, bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(0, p.IsSupportedW(seven.c_str(), kHeader));

    // Whatever the name, what 7-Zip can test is served.
    std::wstring gz = make_archive(L"single.gz", {{L"only.txt", pattern_bytes(77, 4)}}, "gzip");
    std::wstring odd = join(fresh_dir(L"renamed"), L"single.jpeg");
    ASSERT_TRUE(CopyFileW(gz.c_str(), odd.c_str(), FALSE));
    EXPECT_EQ(1, p.IsSupportedW(odd.c_str(), kHeader));

    EXPECT_EQ(0, p.IsSupportedW(L"C:\\no\\such\\file.zip", kHeader));
    EXPECT_EQ(0, p.IsSupportedW(nullptr, kHeader));
    EXPECT_EQ(0, p.IsSupported(nullptr, kHeader));
}

TEST(Support, PasswordProtectedArchivesAnswerAtOnceWhenNotAsking) {
    // Without an answer to its password prompt 7-Zip would wait for ever.
    std::vector<Entry> entries = {{L"secret.png", pattern_bytes(500, 1)}};
    std::wstring zip = make_archive(L"locked.zip", entries, "zip", L"-psecret");
    std::wstring data7z = make_archive(L"locked.7z", entries, "7z", L"-psecret");
    std::wstring header7z = make_archive(L"hidden.7z", entries, "7z", L"-psecret -mhe=on");
    Plugin p(ini_with_7zip(L"askPassword=0\r\n"));
    for (const std::wstring& a : {zip, data7z, header7z}) {
        EXPECT_EQ(0, p.IsSupportedW(a.c_str(), kHeader)) << utf8(a);
        EXPECT_EQ(2, listing_code(p, a)) << utf8(a);
    }
}

namespace {

// A zip whose middle member (of three, stored) has one byte of its data
// changed: its CRC fails when it is tested or extracted, the rest are whole.
std::vector<Entry> damaged_zip_entries() {
    return {{L"a.png", pattern_bytes(3000, 1)}, {L"b.png", pattern_bytes(3000, 2)}, {L"c.png", pattern_bytes(3000, 3)}};
}

std::wstring damaged_zip() {
    std::vector<Entry> entries = damaged_zip_entries();
    std::wstring zip = make_archive(L"damaged.zip", entries, "zip", L"-mx0");
    std::string bytes = read_bytes(zip);
    size_t at = bytes.find(entries[1].bytes.substr(1000, 64));
    EXPECT_NE(std::string::npos, at);
    if (at != std::string::npos) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    write_bytes(zip, bytes);
    return zip;
}

}  // namespace

TEST(Support, ADamagedMemberRefusesTheArchiveUnderTestFullAndItselfUnderTestList) {
    std::wstring zip = damaged_zip();
    std::vector<Entry> entries = damaged_zip_entries();
    Plugin full(ini_with_7zip());
    EXPECT_EQ(0, full.IsSupportedW(zip.c_str(), kHeader));
    EXPECT_EQ(2, listing_code(full, zip));

    Plugin p(ini_with_7zip(L"test=list\r\n"));
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), kHeader));
    ASSERT_EQ(3u, list(p, zip).size());
    EXPECT_EQ(entries[0].bytes, fetch_memory(p, zip, 0));
    EXPECT_EQ("<rc 6>", fetch_memory(p, zip, 1));
    EXPECT_EQ(entries[2].bytes, fetch_memory(p, zip, 2));
    std::wstring out = fresh_dir(L"out");
    EXPECT_EQ(6, fetch_file(p, zip, 1, out));
    EXPECT_TRUE(list_tree(out).empty());
    // Back to test=full: the next request refuses the archive.
    p.write_ini(ini_with_7zip(L"test=full\r\n"));
    EXPECT_EQ("<rc 2>", fetch_memory(p, zip, 0));
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), kHeader));
    expect_work_area_empty(true, true);
}

TEST(Support, UnderTestListPasswordProtectedArchivesServeNoBytes) {
    std::vector<Entry> entries = {{L"secret.png", pattern_bytes(500, 1)}};
    std::wstring zip = make_archive(L"locked.zip", entries, "zip", L"-psecret");
    std::wstring data7z = make_archive(L"locked.7z", entries, "7z", L"-psecret");
    std::wstring header7z = make_archive(L"hidden.7z", entries, "7z", L"-psecret -mhe=on");
    Plugin p(ini_with_7zip(L"test=list\r\naskPassword=0\r\n"));
    // Names in the open: listed, and every fetch refused.
    for (const std::wstring& a : {zip, data7z}) {
        EXPECT_EQ(1, p.IsSupportedW(a.c_str(), kHeader)) << utf8(a);
        ASSERT_EQ(1u, list(p, a).size()) << utf8(a);
        EXPECT_EQ("<rc 6>", fetch_memory(p, a, 0)) << utf8(a);
        std::wstring out = fresh_dir(L"out");
        EXPECT_EQ(6, fetch_file(p, a, 0, out)) << utf8(a);
        EXPECT_TRUE(list_tree(out).empty()) << utf8(a);
    }
    // Names hidden: its listing asks for the password; with no one asked, it is not claimed.
    EXPECT_EQ(0, p.IsSupportedW(header7z.c_str(), kHeader));
    EXPECT_EQ(2, listing_code(p, header7z));
    expect_work_area_empty(true, true);
}

TEST(Support, AFileHandleIsReadAndMovesOn) {
    Plugin p(ini_with_7zip());
    std::wstring zip = good_zip();
    HANDLE f = CreateFileW(zip.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), f));
    EXPECT_EQ(8u, SetFilePointer(f, 0, nullptr, FILE_CURRENT));
    CloseHandle(f);
}

TEST(Support, AnUnreadableHandleIsNoWithoutRunningTheArchiver) {
    StandIn s("Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring zip = good_zip();
    HANDLE f = CreateFileW(zip.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), f));
    CloseHandle(f);
    EXPECT_TRUE(s.runs().empty());
    // A header address is not read: the answer is the archiver's alone.
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), kHeader));
    ASSERT_EQ(1u, s.runs().size());
}

TEST(Support, OnlyAWholeSuccessLineCounts) {
    StandIn s;
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"any file.zip");
    // Each time another archive (the verdict on one that did not change is kept).
    std::string bytes = "12345678";
    auto verdict = [&](const std::string& output) {
        s.set_output("t", output);
        write_bytes(file, bytes += "!");
        return p.IsSupportedW(file.c_str(), kHeader);
    };
    EXPECT_EQ(1, verdict("Testing archive\r\nEVERYTHING IS OK\r\n\r\n"));
    EXPECT_EQ(0, verdict("Everything is Ok"));  // no line feed: not the line
    EXPECT_EQ(0, verdict("Everything is Ok, except\r\n"));
    EXPECT_EQ(0, verdict("ERROR: broken\r\nSub items Errors: 1\r\n"));
    // The last verdict stands while the archive is unchanged.
    s.set_output("t", "Everything is Ok\r\n");
    EXPECT_EQ(0, p.IsSupportedW(file.c_str(), kHeader));

    std::vector<std::wstring> runs = s.runs();
    ASSERT_EQ(4u, runs.size());
    EXPECT_EQ(L"\"" + join(s.dir, L"7z.exe") + L"\" t \"" + file + L"\" -slt -ba -sccUTF-8", runs[0]);
}

TEST(Support, BothArchiverFilesMustExist) {
    StandIn s("Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    write_bytes(file, "12345678");
    ASSERT_TRUE(DeleteFileW(join(s.dir, L"7z.dll").c_str()));
    EXPECT_EQ(0, p.IsSupportedW(file.c_str(), kHeader));
    EXPECT_TRUE(s.runs().empty());
    // A dir with a trailing backslash names the same archiver.
    write_bytes(join(s.dir, L"7z.dll"), "stand-in");
    p.write_ini(L"[UserSetting]\r\ndir=" + s.dir + L"\\\r\n");
    EXPECT_EQ(1, p.IsSupportedW(file.c_str(), kHeader));
}

TEST(Support, LeavesNoCaptureBehind) {
    Plugin p(ini_with_7zip());
    std::wstring zip = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), kHeader));
    expect_work_area_empty();
    // A work folder removed between requests is made again by the next run.
    remove_tree(work_area());
    std::wstring other = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(other.c_str(), kHeader));
    EXPECT_TRUE(exists(work_area()));
}

TEST(Support, AStartThatFailsForAMomentIsTriedAgainAndOneThatCannotIsNot) {
    StandIn s("Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    // Failed starts (numbered from 1) and their error, what IsSupported
    // answers, and how many starts were asked for.
    struct Case {
        std::vector<int> fail;
        DWORD error;
        int answer, starts;
    };
    const Case cases[] = {{{1}, ERROR_SHARING_VIOLATION, 1, 2},
                          {{1, 2, 3}, ERROR_NOT_ENOUGH_MEMORY, 1, 4},
                          {{1, 2, 3, 4}, ERROR_SHARING_VIOLATION, 0, 4},
                          {{1, 2}, ERROR_ACCESS_DENIED, 0, 1},
                          {{1, 2}, ERROR_BAD_EXE_FORMAT, 0, 1},
                          {{1, 2}, ERROR_FILE_NOT_FOUND, 0, 1}};
    std::string bytes = "12345678";
    size_t runs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        write_bytes(file, bytes += "!");  // another archive each time
        StartHook hook(p, c.fail, c.error);
        EXPECT_EQ(c.answer, p.IsSupportedW(file.c_str(), kHeader));
        EXPECT_EQ(c.starts, hook.starts());
        EXPECT_EQ(runs += c.answer, s.runs().size());
    }
    // A 7z.exe that is no program at all.
    write_bytes(join(s.dir, L"7z.exe"), "MZ and nothing a loader could use");
    write_bytes(file, bytes += "!");
    StartHook hook(p);
    EXPECT_EQ(0, p.IsSupportedW(file.c_str(), kHeader));
    EXPECT_EQ(1, hook.starts());
}

namespace {

// No 7-Zip where the plug-in would look by itself: the registry's per-user
// and per-machine keys point at empty ones of this test's own, and Program
// Files at an empty folder. Undone when the test ends.
struct NoSevenZipAround {
    static constexpr const wchar_t* kPrograms[] = {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"};
    NoSevenZipAround() {
        std::wstring name = L"Software\\rizazur-tests\\" + std::to_wstring(GetCurrentProcessId());
        RegCreateKeyExW(HKEY_CURRENT_USER, (name + L"\\user").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                        nullptr);
        RegCreateKeyExW(HKEY_CURRENT_USER, (name + L"\\machine").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &machine, nullptr);
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, user));
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine));
        for (const wchar_t* v : kPrograms) {
            wchar_t value[MAX_PATH] = {};
            GetEnvironmentVariableW(v, value, MAX_PATH);
            saved.push_back(value);
            SetEnvironmentVariableW(v, programs.c_str());
        }
    }
    ~NoSevenZipAround() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(user);
        RegCloseKey(machine);
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\rizazur-tests\\" + std::to_wstring(GetCurrentProcessId())).c_str());
        for (size_t i = 0; i < saved.size(); ++i)
            SetEnvironmentVariableW(kPrograms[i], saved[i].empty() ? nullptr : saved[i].c_str());
    }
    // Records a folder as 7-Zip's installer does (per user unless told), at
    // the key given as it is, whatever view this program sees by itself.
    void install(const std::wstring& folder, HKEY root = nullptr, const wchar_t* name = L"Path", DWORD type = REG_SZ,
                 const wchar_t* at = L"Software\\7-Zip") {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root ? root : user, at, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        std::wstring value = folder + L"\\";
        RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    // A key of the 32-bit view of its own: from now on the views are apart.
    void split_views(HKEY root) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, L"Software\\Wow6432Node", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    void uninstall(HKEY root) {
        for (const wchar_t* at : {L"Software\\7-Zip", L"Software\\Wow6432Node\\7-Zip", L"Software\\Wow6432Node"})
            RegDeleteKeyExW(root, at, KEY_WOW64_64KEY, 0);
    }
    HKEY user = nullptr, machine = nullptr;
    std::wstring programs = fresh_dir(L"programs");
    std::vector<std::wstring> saved;
};

}  // namespace

TEST(Support, SevenZipIsFoundByItselfAndNeverThroughTheCurrentFolder) {
    NoSevenZipAround nowhere;
    StandIn s("Everything is Ok\r\n");
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    write_bytes(file, "12345678");
    // Planted beside what is opened, made the current folder: never started.
    std::wstring planted = fresh_dir(L"planted");
    s.copy_to(planted);
    {
        CurrentFolder cwd(planted);
        Plugin p(L"");
        EXPECT_EQ(0, p.IsSupportedW(file.c_str(), kHeader));
        // Where the installer recorded it, with no settings at all.
        nowhere.install(s.dir);
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), kHeader));
        EXPECT_EQ(1u, s.runs().size());
        // Beside the plug-in wins over the registry; a relative dir is taken
        // from the plug-in's folder.
        s.copy_to(p.dir);
        write_bytes(file, "123456789");
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), kHeader));
        s.copy_to(join(p.dir, L"sub"));
        p.write_ini(L"[UserSetting]\r\ndir=sub\r\n");
        write_bytes(file, "1234567890");
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), kHeader));
        EXPECT_EQ(1u, s.runs().size());
        EXPECT_TRUE(exists(join(p.dir, L"runs.log")));
        EXPECT_TRUE(exists(join(p.dir, L"sub\\runs.log")));
    }
    EXPECT_FALSE(exists(join(planted, L"runs.log")));
}

TEST(Support, SevenZipIsFoundWhereTheInstallerOrWindowsPutsIt) {
    NoSevenZipAround nowhere;
    StandIn s("Everything is Ok\r\n");
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    Plugin p(L"");
    // Each place on its own, a copy of the stand-in there that logs its run.
    struct Place {
        HKEY root;
        const wchar_t* name;
        DWORD type;
        const wchar_t* at;  // the key; under Wow6432Node, the 32-bit view's alone
    };
    const wchar_t* const seven = L"Software\\7-Zip";
    const wchar_t* const seven32 = L"Software\\Wow6432Node\\7-Zip";
    // Where the per-machine key stands in one view only (the installer of
    // the other bitness's 7-Zip), either build finds it.
    const Place places[] = {{nowhere.user, L"Path32", REG_SZ, seven},
                            {nowhere.machine, L"Path", REG_SZ, seven},
                            {nowhere.machine, L"Path64", REG_EXPAND_SZ, seven},
                            {nowhere.machine, L"Path", REG_SZ, seven32},
                            {nowhere.machine, L"Path64", REG_SZ, nullptr},
                            {nullptr, nullptr, 0, nullptr}};
    std::string bytes = "12345678";
    for (const Place& at : places) {
        std::wstring folder = at.root ? fresh_dir(L"seven") : join(nowhere.programs, L"7-Zip");
        s.copy_to(folder);
        SetEnvironmentVariableW(L"RIZAZUR_SEVEN", folder.c_str());
        if (at.root && !at.at) nowhere.split_views(at.root);  // the 64-bit view's alone
        if (at.root)
            nowhere.install(at.type == REG_EXPAND_SZ ? L"%RIZAZUR_SEVEN%" : folder, at.root, at.name, at.type,
                            at.at ? at.at : seven);
        write_bytes(file, bytes += "!");
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), kHeader)) << utf8(folder);
        EXPECT_TRUE(exists(join(folder, L"runs.log"))) << utf8(folder);
        if (at.root) nowhere.uninstall(at.root);
    }
    SetEnvironmentVariableW(L"RIZAZUR_SEVEN", nullptr);
    EXPECT_TRUE(s.runs().empty());
}
