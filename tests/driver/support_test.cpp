// The support test through IsSupported(W): the real 7-Zip for what it says
// about real files, the stand-in for exact outputs and for counting runs.
#include <gtest/gtest.h>

#include "support/test_host.h"

namespace {

std::wstring good_zip() {
    return make_archive(L"good.zip", {{L"a.png", pattern_bytes(100, 1)}, {L"d\\b.png", pattern_bytes(50, 2)}},
                        "zip");
}

const char kHeader[2048] = "PK";

}  // namespace

TEST(Support, RealArchivesAndOtherFiles) {
    Plugin p(ini_with_7zip());
    std::wstring zip = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), const_cast<char*>(kHeader)));
    EXPECT_EQ(1, p.IsSupported(utf8(zip).c_str(), const_cast<char*>(kHeader)));

    std::wstring junk = join(fresh_dir(L"junk"), L"junk.zip");
    write_bytes(junk, "this is not an archive at all, just text\r\n");
    EXPECT_EQ(0, p.IsSupportedW(junk.c_str(), const_cast<char*>(kHeader)));

    // Damaged: the second half of a solid 7z is gone.
    std::wstring seven = make_archive(L"big.7z", {{L"x.bin", pattern_bytes(200000, 3)}}, "7z");
    std::string bytes = read_bytes(seven);
    write_bytes(seven, bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(0, p.IsSupportedW(seven.c_str(), const_cast<char*>(kHeader)));

    // Whatever the name, what 7-Zip can test is served.
    std::wstring gz = make_archive(L"single.gz", {{L"only.txt", pattern_bytes(77, 4)}}, "gzip");
    std::wstring odd = join(fresh_dir(L"renamed"), L"single.jpeg");
    ASSERT_TRUE(CopyFileW(gz.c_str(), odd.c_str(), FALSE));
    EXPECT_EQ(1, p.IsSupportedW(odd.c_str(), const_cast<char*>(kHeader)));

    EXPECT_EQ(0, p.IsSupportedW(L"C:\\no\\such\\file.zip", const_cast<char*>(kHeader)));
    EXPECT_EQ(0, p.IsSupportedW(nullptr, const_cast<char*>(kHeader)));
    EXPECT_EQ(0, p.IsSupported(nullptr, const_cast<char*>(kHeader)));
}

TEST(Support, PasswordProtectedArchivesAnswerAtOnce) {
    // Without an answer to its password prompt 7-Zip would wait for ever.
    std::vector<Entry> entries = {{L"secret.png", pattern_bytes(500, 1)}};
    std::wstring zip = make_archive(L"locked.zip", entries, "zip", L"-psecret");
    std::wstring data7z = make_archive(L"locked.7z", entries, "7z", L"-psecret");
    std::wstring header7z = make_archive(L"hidden.7z", entries, "7z", L"-psecret -mhe=on");
    Plugin p(ini_with_7zip());
    for (const std::wstring& a : {zip, data7z, header7z}) {
        EXPECT_EQ(0, p.IsSupportedW(a.c_str(), const_cast<char*>(kHeader))) << utf8(a);
        LocalBlock table;
        EXPECT_EQ(2, p.GetArchiveInfoW(a.c_str(), 0, 0, &table.h)) << utf8(a);
        EXPECT_EQ(nullptr, table.h);
    }
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
    StandIn s;
    s.set_output("t", "Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring zip = good_zip();
    HANDLE f = CreateFileW(zip.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), f));
    CloseHandle(f);
    EXPECT_TRUE(s.runs().empty());
    // A header address is not read: the answer is the archiver's alone.
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), const_cast<char*>(kHeader)));
    ASSERT_EQ(1u, s.runs().size());
}

TEST(Support, OnlyAWholeSuccessLineCounts) {
    StandIn s;
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"any file.zip");
    const char* header = kHeader;
    // Each time another archive (the verdict on one that did not change is kept).
    std::string bytes = "12345678";
    auto verdict = [&](const std::string& output) {
        s.set_output("t", output);
        write_bytes(file, bytes += "!");
        return p.IsSupportedW(file.c_str(), const_cast<char*>(header));
    };
    EXPECT_EQ(1, verdict("Testing archive\r\nEVERYTHING IS OK\r\n\r\n"));
    EXPECT_EQ(0, verdict("Everything is Ok"));  // no line feed: not the line
    EXPECT_EQ(0, verdict("Everything is Ok, except\r\n"));
    EXPECT_EQ(0, verdict("ERROR: broken\r\nSub items Errors: 1\r\n"));
    // The last verdict stands while the archive is unchanged.
    s.set_output("t", "Everything is Ok\r\n");
    EXPECT_EQ(0, p.IsSupportedW(file.c_str(), const_cast<char*>(header)));

    std::vector<std::wstring> runs = s.runs();
    ASSERT_EQ(4u, runs.size());
    EXPECT_EQ(L"\"" + join(s.dir, L"7z.exe") + L"\" t \"" + file + L"\" -slt -ba", runs[0]);
}

TEST(Support, BothArchiverFilesMustExist) {
    StandIn s;
    s.set_output("t", "Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    write_bytes(file, "12345678");
    ASSERT_TRUE(DeleteFileW(join(s.dir, L"7z.dll").c_str()));
    EXPECT_EQ(0, p.IsSupportedW(file.c_str(), const_cast<char*>(kHeader)));
    EXPECT_TRUE(s.runs().empty());
    // A dir with a trailing backslash names the same archiver.
    write_bytes(join(s.dir, L"7z.dll"), "stand-in");
    p.write_ini(L"[UserSetting]\r\ndir=" + s.dir + L"\\\r\n");
    EXPECT_EQ(1, p.IsSupportedW(file.c_str(), const_cast<char*>(kHeader)));
}

TEST(Support, LeavesNoCaptureBehind) {
    Plugin p(ini_with_7zip());
    std::wstring zip = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(zip.c_str(), const_cast<char*>(kHeader)));
    for (const std::wstring& f : work_area_leftovers()) ADD_FAILURE() << "left behind: " << utf8(f);
    // A work folder removed between requests is made again by the next run.
    remove_tree(work_area());
    std::wstring other = good_zip();
    EXPECT_EQ(1, p.IsSupportedW(other.c_str(), const_cast<char*>(kHeader)));
    EXPECT_TRUE(exists(work_area()));
}

namespace {

DWORD WINAPI release_after_a_moment(void* held) {
    Sleep(100);
    CloseHandle(static_cast<HANDLE>(held));
    return 0;
}

}  // namespace

TEST(Support, AStartThatFailsForAMomentIsTriedAgain) {
    StandIn s;
    s.set_output("t", "Everything is Ok\r\n");
    Plugin p(s.ini());
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    write_bytes(file, "12345678");
    // While something holds the program open, no start succeeds.
    std::wstring exe = join(s.dir, L"7z.exe");
    HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::wstring line = L"\"" + exe + L"\" t x";
    ASSERT_FALSE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
    HANDLE releaser = CreateThread(nullptr, 0, release_after_a_moment, held, 0, nullptr);
    EXPECT_EQ(1, p.IsSupportedW(file.c_str(), const_cast<char*>(kHeader)));
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(1u, s.runs().size());
}

namespace {

// No 7-Zip where the plug-in would look by itself: the registry's per-user
// and per-machine keys point at empty ones of this test's own, and Program
// Files at an empty folder. Undone when the test ends.
struct NoSevenZipAround {
    NoSevenZipAround() {
        std::wstring name = L"Software\\rizazur-tests\\" + std::to_wstring(GetCurrentProcessId());
        RegCreateKeyExW(HKEY_CURRENT_USER, (name + L"\\user").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                        nullptr);
        RegCreateKeyExW(HKEY_CURRENT_USER, (name + L"\\machine").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &machine, nullptr);
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, user));
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine));
        std::wstring empty = fresh_dir(L"programs");
        for (const wchar_t* v : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"}) {
            wchar_t value[MAX_PATH] = {};
            GetEnvironmentVariableW(v, value, MAX_PATH);
            saved.push_back(value);
            SetEnvironmentVariableW(v, empty.c_str());
        }
    }
    ~NoSevenZipAround() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(user);
        RegCloseKey(machine);
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\rizazur-tests\\" + std::to_wstring(GetCurrentProcessId())).c_str());
        const wchar_t* names[] = {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"};
        for (size_t i = 0; i < saved.size(); ++i) SetEnvironmentVariableW(names[i], saved[i].empty() ? nullptr : saved[i].c_str());
    }
    // Records a folder as 7-Zip's installer does (per user).
    void install(const std::wstring& folder) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(user, L"Software\\7-Zip", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                                 nullptr));
        std::wstring value = folder + L"\\";
        RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    HKEY user = nullptr, machine = nullptr;
    std::vector<std::wstring> saved;
};

// A stand-in's two files copied into another folder, where it logs its runs.
void copy_standin(const StandIn& from, const std::wstring& folder) {
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* f : {L"7z.exe", L"7z.dll", L"out-t.txt"})
        ASSERT_TRUE(CopyFileW(join(from.dir, f).c_str(), join(folder, f).c_str(), FALSE)) << utf8(folder);
}

}  // namespace

TEST(Support, SevenZipIsFoundByItselfAndNeverThroughTheCurrentFolder) {
    NoSevenZipAround nowhere;
    StandIn s;
    s.set_output("t", "Everything is Ok\r\n");
    std::wstring file = join(fresh_dir(L"any"), L"a.zip");
    write_bytes(file, "12345678");
    const char* header = kHeader;
    // Planted beside what is opened, made the current folder: never started.
    std::wstring planted = fresh_dir(L"planted");
    copy_standin(s, planted);
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(planted.c_str());
    {
        Plugin p(L"");
        EXPECT_EQ(0, p.IsSupportedW(file.c_str(), const_cast<char*>(header)));
        // Where the installer recorded it, with no settings at all.
        nowhere.install(s.dir);
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), const_cast<char*>(header)));
        EXPECT_EQ(1u, s.runs().size());
        // Beside the plug-in wins over the registry; a relative dir is taken
        // from the plug-in's folder.
        copy_standin(s, p.dir);
        write_bytes(file, "123456789");
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), const_cast<char*>(header)));
        copy_standin(s, join(p.dir, L"sub"));
        p.write_ini(L"[UserSetting]\r\ndir=sub\r\n");
        write_bytes(file, "1234567890");
        EXPECT_EQ(1, p.IsSupportedW(file.c_str(), const_cast<char*>(header)));
        EXPECT_EQ(1u, s.runs().size());
        EXPECT_TRUE(exists(join(p.dir, L"runs.log")));
        EXPECT_TRUE(exists(join(p.dir, L"sub\\runs.log")));
    }
    SetCurrentDirectoryW(saved);
    EXPECT_FALSE(exists(join(planted, L"runs.log")));
}
