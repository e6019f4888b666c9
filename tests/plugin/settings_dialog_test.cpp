// ConfigurationDlg as a host opens it: the settings dialog and the about
// box, driven by their controls from another thread as a user would.
#include <gtest/gtest.h>

#include "plugin/dialog_ids.h"
#include "support/test_host.h"
#include "test_config.h"

namespace {

// A desktop of this test program's own, made on the display it was given:
// Wine's default desktop may have been made, by a program started earlier
// and still served, where there was none.
void use_own_desktop() {
    static HDESK desktop = CreateDesktopW(L"rizazur-tests", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetThreadDesktop(desktop);
}

// Opens ConfigurationDlg(owner, fnc) on a thread of its own with a window
// of that thread as the owner, as a host's "Setup" button does.
class DialogRun {
public:
    DialogRun(Plugin& p, int fnc) : plugin_(p), fnc_(fnc) {
        use_own_desktop();
        thread_ = CreateThread(nullptr, 0, body, this, 0, &thread_id_);
    }
    ~DialogRun() {
        if (HWND d = dialog(0)) PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    // The dialog once it is shown; null when none appears.
    HWND dialog(int tries = 600) {
        for (int i = 0; i <= tries; ++i) {
            HWND found = nullptr;
            EnumThreadWindows(thread_id_, find_dialog, reinterpret_cast<LPARAM>(&found));
            if (found || i == tries) return found;
            Sleep(50);
        }
        return nullptr;
    }
    // What ConfigurationDlg answered, once it has.
    int result() {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread_, 30000));
        return result_;
    }
    HWND owner() const { return owner_; }

private:
    static DWORD WINAPI body(void* self) {
        auto* r = static_cast<DialogRun*>(self);
        use_own_desktop();
        r->owner_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                    nullptr, nullptr);
        r->result_ = r->plugin_.ConfigurationDlg(r->owner_, r->fnc_);
        DestroyWindow(r->owner_);
        return 0;
    }
    static BOOL CALLBACK find_dialog(HWND w, LPARAM out) {
        wchar_t name[16];
        if (!GetClassNameW(w, name, 16) || wcscmp(name, L"#32770") != 0 || !IsWindowVisible(w)) return TRUE;
        *reinterpret_cast<HWND*>(out) = w;
        return FALSE;
    }

    Plugin& plugin_;
    int fnc_;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
    HWND owner_ = nullptr;
    int result_ = -2;
};

std::wstring text_of(HWND dialog, int id) {
    wchar_t text[1024] = {};
    SendMessageW(GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

void type(HWND dialog, int id, const std::wstring& text) {
    SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void press(HWND dialog, int id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

const std::wstring kOther = L"[Viewer]\r\nkeep=me\r\n";

}  // namespace

TEST(SettingsDialog, OkSavesWhatWasTypedAndTheNextRequestUsesIt) {
    DictatedArchive a(listing_block("small.png", "100") + listing_block("big.png", "2097152"));
    Plugin p(ini_with_7zip() + kOther);
    DialogRun run(p, 1);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(run.owner(), GetWindow(d, GW_OWNER));
    // Where 7-Zip was found, and its version.
    EXPECT_TRUE(has(text_of(d, IDC_FOUND), join(seven_zip_dir(), L"7z.exe"))) << utf8(text_of(d, IDC_FOUND));
    EXPECT_TRUE(has(text_of(d, IDC_FOUND), L"26.03")) << utf8(text_of(d, IDC_FOUND));
    EXPECT_EQ(L"64", text_of(d, IDC_MAXMB));
    type(d, IDC_DIR, a.dir);
    type(d, IDC_EXT, L"*.cbz,*.zip");
    type(d, IDC_MAXMB, L"1");
    type(d, IDC_TAR, L"*.tgz");
    EXPECT_EQ(L"256", text_of(d, IDC_AHEADMB));
    type(d, IDC_AHEADMB, L"0");
    // By keyboard: Tab from the tar field reaches the choice, Space checks it.
    HWND choice = GetDlgItem(d, IDC_TEST_LIST);
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(choice, BM_GETCHECK, 0, 0));
    EXPECT_EQ(choice, GetNextDlgTabItem(d, GetDlgItem(d, IDC_TAR), FALSE));
    SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(choice), TRUE);
    PostMessageW(choice, WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageW(choice, WM_KEYUP, VK_SPACE, 0xC0390001);
    for (int i = 0; i < 100 && SendMessageW(choice, BM_GETCHECK, 0, 0) != BST_CHECKED; ++i) Sleep(20);
    EXPECT_EQ(BST_CHECKED, SendMessageW(choice, BM_GETCHECK, 0, 0));
    press(d, IDOK);
    EXPECT_EQ(0, run.result());

    std::string raw = read_bytes(join(p.dir, L"rizazur.ini"));
    std::wstring ini(reinterpret_cast<const wchar_t*>(raw.data() + 2), (raw.size() - 2) / 2);
    EXPECT_TRUE(has(ini, L"keep=me")) << utf8(ini);
    EXPECT_TRUE(has(ini, L"dir=" + a.dir)) << utf8(ini);
    EXPECT_TRUE(has(ini, L"aheadMB=0")) << utf8(ini);
    EXPECT_TRUE(has(ini, L"test=list")) << utf8(ini);
    wchar_t filter[260] = {};
    p.GetPluginInfoW(2, filter, 260);
    EXPECT_STREQ(L"*.cbz;*.zip", filter);
    std::vector<fileInfoW> records = a.list(p);
    ASSERT_EQ(1u, records.size());  // big.png is over 1 MiB
    EXPECT_STREQ(L"small.png", records[0].filename);
    EXPECT_EQ("l", a.letters());  // claimed by its listing alone
}

TEST(SettingsDialog, ANewSettingsFileKeepsAPathInAnyScript) {
    StandIn s;
    std::wstring dir = join(fresh_dir(L"jp"), L"\x65E5\x672C \x0416");
    s.copy_to(dir);
    Plugin p(L"");
    DialogRun run(p, 1);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    type(d, IDC_DIR, dir);
    press(d, IDOK);
    EXPECT_EQ(0, run.result());
    std::string raw = read_bytes(join(p.dir, L"rizazur.ini"));
    ASSERT_GT(raw.size(), 2u);
    EXPECT_EQ("\xFF\xFE", raw.substr(0, 2));
    DialogRun again(p, 1);
    HWND d2 = again.dialog();
    ASSERT_NE(nullptr, d2);
    EXPECT_EQ(dir, text_of(d2, IDC_DIR));
}

// What cannot be saved is said in the dialog, which stays open with what
// was typed; the file is left as it was, and Cancel then writes nothing.
struct Refusal {
    const char* name;
    int field;
    const wchar_t* typed;  // null: leave the field as it is
    bool unwritable;       // a folder or a read-only file where the settings file goes
    bool read_only;
    const wchar_t* said;   // part of the message; null: the settings file's path
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, StaysOpenSaysWhyAndWritesNothing) {
    const Refusal k = GetParam();
    std::wstring empty = fresh_dir(L"no7z");
    Plugin p(ini_with_7zip(L"ext=*.zip\r\n") + kOther);
    std::wstring ini = join(p.dir, L"rizazur.ini");
    if (k.unwritable && !k.read_only) {
        DeleteFileW(ini.c_str());
        CreateDirectoryW(ini.c_str(), nullptr);
    }
    if (k.read_only) SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY);
    std::string before = read_bytes(ini);
    DialogRun run(p, 1);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    std::wstring typed = k.typed ? k.typed : L"";
    if (typed == L"<empty folder>") typed = empty;
    if (k.typed) type(d, k.field, typed);
    press(d, IDOK);
    ASSERT_TRUE(IsWindow(d));
    std::wstring said = text_of(d, IDC_MESSAGE);
    EXPECT_TRUE(has(said, k.said ? (wcscmp(k.said, L"<empty folder>") ? k.said : empty.c_str()) : ini.c_str()))
        << utf8(said);
    if (k.typed) {
        EXPECT_EQ(typed, text_of(d, k.field));
    }
    EXPECT_EQ(before, read_bytes(ini));
    press(d, IDCANCEL);
    EXPECT_EQ(0, run.result());
    EXPECT_EQ(before, read_bytes(ini));
    SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(ini.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refused,
    ::testing::Values(Refusal{"NoSevenZipInDir", IDC_DIR, L"<empty folder>", false, false, L"<empty folder>"},
                      Refusal{"MaxZero", IDC_MAXMB, L"0", false, false, L"2047"},
                      Refusal{"MaxTooLarge", IDC_MAXMB, L"2048", false, false, L"2047"},
                      Refusal{"AheadTooLarge", IDC_AHEADMB, L"65537", false, false, L"65536"},
                      Refusal{"NoExt", IDC_EXT, L"", false, false, L"*.7z"},
                      Refusal{"FolderInPlace", IDC_MAXMB, L"128", true, false, nullptr},
                      Refusal{"ReadOnly", IDC_MAXMB, L"128", true, true, nullptr}),
    [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST(SettingsDialog, CancelWritesNothing) {
    Plugin p(ini_with_7zip(L"maxMB=9\r\n") + kOther);
    std::wstring ini = join(p.dir, L"rizazur.ini");
    std::string before = read_bytes(ini);
    DialogRun run(p, 1);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(L"9", text_of(d, IDC_MAXMB));
    type(d, IDC_MAXMB, L"100");
    type(d, IDC_EXT, L"*.cbz");
    press(d, IDCANCEL);
    EXPECT_EQ(0, run.result());
    EXPECT_EQ(before, read_bytes(ini));
}

TEST(SettingsDialog, NotFoundSaysWhereItLooked) {
    std::wstring empty = fresh_dir(L"no7z");
    Plugin p(L"[UserSetting]\r\ndir=" + empty + L"\r\n");
    DialogRun run(p, 1);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    std::wstring found = text_of(d, IDC_FOUND);
    EXPECT_TRUE(has(found, L"not found")) << utf8(found);
    EXPECT_TRUE(has(found, empty)) << utf8(found);
}

TEST(AboutBox, NamesThePluginItsSevenZipAndItsSettingsFile) {
    Plugin p(ini_with_7zip());
    DialogRun run(p, 0);
    HWND d = run.dialog();
    ASSERT_NE(nullptr, d);
    std::wstring about = text_of(d, IDC_ABOUT_TEXT);
    EXPECT_TRUE(has(about, L"rizazur " RIZAZUR_VERSION)) << utf8(about);
    EXPECT_TRUE(has(about, join(seven_zip_dir(), L"7z.exe"))) << utf8(about);
    EXPECT_TRUE(has(about, join(p.dir, L"rizazur.ini"))) << utf8(about);
    press(d, IDOK);
    EXPECT_EQ(0, run.result());
}

TEST(ConfigurationDlg, AnyOtherFunctionIsNotImplemented) {
    Plugin p(ini_with_7zip());
    for (int fnc : {2, 3, -1, 0x7FFFFFFF}) EXPECT_EQ(-1, p.ConfigurationDlg(nullptr, fnc)) << fnc;
}
