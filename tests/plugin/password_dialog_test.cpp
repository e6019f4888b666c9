// Encrypted archives through the exports: the host's call made on a thread
// of its own, the question it raises answered as a user would, with the
// real 7-Zip; and with the stand-in, where the password travels.
#include <gtest/gtest.h>

#include <functional>

#include "plugin/dialog_ids.h"
#include "support/test_host.h"
#include "test_config.h"

namespace {

// A desktop of this test program's own (as the settings dialog's tests).
void use_own_desktop() {
    static HDESK desktop = CreateDesktopW(L"rizazur-tests", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetThreadDesktop(desktop);
}

// A host call on a thread of its own, with an active window of that thread
// when `with_window`.
class HostCall {
public:
    explicit HostCall(std::function<int()> work, bool with_window = false)
        : work_(std::move(work)), with_window_(with_window) {
        use_own_desktop();
        thread_ = CreateThread(nullptr, 0, body, this, 0, &thread_id_);
    }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;
    ~HostCall() {
        // A question left open is cancelled, so the call can end.
        while (WaitForSingleObject(thread_, 100) == WAIT_TIMEOUT)
            if (HWND d = shown()) PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
        CloseHandle(thread_);
    }
    // The question once it is shown (another than `before`); null when the
    // call ended without one.
    HWND question(HWND before = nullptr) {
        for (int i = 0; i < 1200; ++i) {
            HWND d = shown();
            if (d && d != before) return last_ = d;
            if (WaitForSingleObject(thread_, 50) == WAIT_OBJECT_0) return nullptr;
        }
        return nullptr;
    }
    // Whether the call ends without a question; one shown is cancelled.
    bool unasked() {
        HWND d = question();
        if (d) PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
        return d == nullptr;
    }
    // What the call answered once it ended; a question other than the last
    // one seen fails the test, and is cancelled.
    int result() {
        for (int i = 0; i < 2400; ++i) {
            if (WaitForSingleObject(thread_, 50) == WAIT_OBJECT_0) return result_;
            HWND d = shown();
            if (d && d != last_) {
                ADD_FAILURE() << "asked again";
                PostMessageW(last_ = d, WM_COMMAND, IDCANCEL, 0);
            }
        }
        ADD_FAILURE() << "the call did not end";
        return result_;
    }
    HWND window() const { return window_; }
    DWORD thread_id() const { return thread_id_; }

private:
    HWND shown() {
        HWND found = nullptr;
        EnumThreadWindows(thread_id_, find_dialog, reinterpret_cast<LPARAM>(&found));
        return found;
    }
    static BOOL CALLBACK find_dialog(HWND w, LPARAM out) {
        wchar_t name[16];
        if (!GetClassNameW(w, name, 16) || wcscmp(name, L"#32770") != 0 || !IsWindowVisible(w)) return TRUE;
        *reinterpret_cast<HWND*>(out) = w;
        return FALSE;
    }
    static DWORD WINAPI body(void* self) {
        auto* c = static_cast<HostCall*>(self);
        use_own_desktop();
        if (c->with_window_) {
            c->window_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                         nullptr, nullptr, nullptr, nullptr);
            SetActiveWindow(c->window_);
        }
        c->result_ = c->work_();
        if (c->window_) DestroyWindow(c->window_);
        return 0;
    }

    std::function<int()> work_;
    bool with_window_;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
    HWND window_ = nullptr;
    HWND last_ = nullptr;
    int result_ = -2;
};

std::wstring text_of(HWND dialog, int id) {
    wchar_t text[1024] = {};
    SendMessageW(GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

// Types the password into the field and presses OK, or Cancel for none.
void answer(HWND dialog, const std::wstring& password) {
    if (password.empty()) {
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    SendMessageW(GetDlgItem(dialog, IDC_PASSWORD), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

HostCall listing_call(Plugin& p, const std::wstring& archive, bool ansi = false) {
    return HostCall([&p, archive, ansi] { return listing_code(p, archive, 0, 0, ansi); });
}

const std::wstring kPassword = L"Secret \u00E4\u65E5\u672C";

std::vector<Entry> pictures() {
    return {{L"a.png", pattern_bytes(3000, 1)}, {L"d\\b.png", pattern_bytes(70000, 2)}, {L"c.png", pattern_bytes(5, 3)}};
}

// 7-Zip writes a zip's password in ASCII only.
const std::wstring kAsciiPassword = L"Secret 42";

struct Kind {
    const char* name;
    const char* type;
    const wchar_t* switches;
    const std::wstring* password;
};

const Kind kKinds[] = {
    {"SevenZipWithHiddenNames", "7z", L"-mhe=on", &kPassword},
    {"AesZip", "zip", L"-mem=AES256", &kAsciiPassword},
    {"ZipCryptoZip", "zip", L"-mem=ZipCrypto", &kAsciiPassword},
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

std::wstring encrypted(const Kind& k) {
    return make_archive(L"enc." + widen(k.type), pictures(), k.type, L"\"-p" + *k.password + L"\" " + k.switches);
}

// Every member listed and its bytes right, through both forms.
void expect_served(Plugin& p, const std::wstring& archive) {
    std::map<std::wstring, std::string> want = bytes_by_name(pictures());
    std::vector<fileInfoW> records = list(p, archive);
    ASSERT_EQ(want.size(), records.size());
    for (const fileInfoW& r : records) {
        EXPECT_EQ(want[r.filename], fetch_memory(p, archive, r.position)) << utf8(r.filename);
        EXPECT_EQ(want[r.filename], fetch_memory_ansi(p, archive, r.position)) << utf8(r.filename);
    }
}

class Encrypted : public testing::TestWithParam<Kind> {};

}  // namespace

TEST_P(Encrypted, TheRightPasswordListsAndServesEveryMember) {
    std::wstring archive = encrypted(GetParam());
    Plugin p(ini_with_7zip());
    HostCall call([&] { return p.IsSupportedW(archive.c_str(), kHeader); });
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(archive, text_of(d, IDC_PASSWORD_ARCHIVE));
    answer(d, *GetParam().password);
    EXPECT_EQ(1, call.result());
    // Listed and served like any other, asking nothing more.
    expect_served(p, archive);
    EXPECT_EQ(1, p.IsSupported(utf8(archive).c_str(), kHeader));
}

TEST_P(Encrypted, AWrongPasswordIsAskedAgainSayingSo) {
    std::wstring archive = encrypted(GetParam());
    Plugin p(ini_with_7zip(L"aheadMB=0\r\n"));
    HostCall call = listing_call(p, archive);
    HWND first = call.question();
    ASSERT_NE(nullptr, first);
    std::wstring prompt = text_of(first, IDC_PASSWORD_PROMPT);
    answer(first, L"wrong");
    HWND again = call.question(first);
    ASSERT_NE(nullptr, again);
    EXPECT_NE(prompt, text_of(again, IDC_PASSWORD_PROMPT));
    answer(again, *GetParam().password);
    EXPECT_EQ(0, call.result());
    expect_served(p, archive);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Encrypted, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

TEST(Password, UnderTestListAnArchiveWhoseNamesNeedOneIsAskedForIt) {
    std::wstring archive = encrypted(kKinds[0]);
    Plugin p(ini_with_7zip(L"test=list\r\n"));
    HostCall call([&] { return p.IsSupportedW(archive.c_str(), kHeader); });
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    answer(d, kPassword);
    EXPECT_EQ(1, call.result());
    expect_served(p, archive);
}

TEST(Password, CancelRefusesTheArchiveAndItIsNotAskedAgainUntilItChanges) {
    std::wstring archive = encrypted(kKinds[0]);
    Plugin p(ini_with_7zip());
    {
        HostCall call = listing_call(p, archive);
        HWND d = call.question();
        ASSERT_NE(nullptr, d);
        answer(d, L"");
        EXPECT_EQ(2, call.result());
    }
    // Asked about again, as a host does: refused, no window.
    for (int i = 0; i < 2; ++i) {
        HostCall again([&] { return p.IsSupportedW(archive.c_str(), kHeader); });
        EXPECT_TRUE(again.unasked());
        EXPECT_EQ(0, again.result());
    }
    // Changed, it is another archive: asked about afresh.
    FILETIME later;
    GetSystemTimeAsFileTime(&later);
    HANDLE f = CreateFileW(archive.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(f, nullptr, nullptr, &later);
    CloseHandle(f);
    HostCall changed = listing_call(p, archive);
    HWND d = changed.question();
    ASSERT_NE(nullptr, d);
    answer(d, kPassword);
    EXPECT_EQ(0, changed.result());
}

TEST(Password, OneTypedForAnArchiveOpensTheNextWithoutAsking) {
    std::wstring first = encrypted(kKinds[1]), second = encrypted(kKinds[2]);
    Plugin p(ini_with_7zip());
    HostCall call = listing_call(p, first);
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    answer(d, kAsciiPassword);
    EXPECT_EQ(0, call.result());
    HostCall next([&] { return p.IsSupportedW(second.c_str(), kHeader); });
    EXPECT_TRUE(next.unasked());
    EXPECT_EQ(1, next.result());
    expect_served(p, second);
}

TEST(Password, TwoCallsAtOnceFaceTheUserWithOneQuestion) {
    std::wstring first = encrypted(kKinds[1]), second = encrypted(kKinds[2]);
    Plugin p(ini_with_7zip());
    HostCall one = listing_call(p, first);
    HWND d = one.question();
    ASSERT_NE(nullptr, d);
    // The second archive's call comes while the question is open: it waits
    // for the answer, and tries it before asking.
    HostCall two = listing_call(p, second);
    Sleep(1500);
    answer(d, kAsciiPassword);
    EXPECT_EQ(0, one.result());
    EXPECT_TRUE(two.unasked());
    EXPECT_EQ(0, two.result());
}

TEST(Password, NotAskingRefusesAtOnce) {
    std::wstring archive = encrypted(kKinds[2]);
    Plugin p(ini_with_7zip(L"askPassword=0\r\n"));
    HostCall call([&] { return p.IsSupportedW(archive.c_str(), kHeader) * 10 + listing_code(p, archive); });
    EXPECT_TRUE(call.unasked());
    EXPECT_EQ(2, call.result());
}

TEST(Password, TheKeyboardAloneAnswersAndTheHostsWindowOwnsTheQuestion) {
    std::wstring archive = encrypted(kKinds[0]);
    Plugin p(ini_with_7zip());
    HostCall call([&] { return listing_code(p, archive); }, true);
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(call.window(), GetWindow(d, GW_OWNER));
    HWND field = GetDlgItem(d, IDC_PASSWORD);
    GUITHREADINFO info = {sizeof info};
    ASSERT_TRUE(GetGUIThreadInfo(call.thread_id(), &info));
    EXPECT_EQ(field, info.hwndFocus);
    for (wchar_t c : L"wrong") if (c) PostMessageW(field, WM_CHAR, c, 0);
    PostMessageW(field, WM_KEYDOWN, VK_RETURN, 0);
    HWND again = call.question(d);
    ASSERT_NE(nullptr, again);
    // Escape is Cancel.
    PostMessageW(GetDlgItem(again, IDC_PASSWORD), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(2, call.result());
}

TEST(Password, AnEncryptedTarIsReadThroughThePipe) {
    std::wstring tar = join(fresh_dir(L"tar"), L"inner.tar");
    write_tar(tar, {{"a.png", pattern_bytes(3000, 1)}, {"d/b.png", pattern_bytes(70000, 2)}, {"c.png", pattern_bytes(5, 3)}});
    std::wstring archive = join(fresh_dir(L"enc"), L"pics.tar.7z");
    ASSERT_EQ(0, run_7z(L"a -t7z -mhe=on \"-p" + kPassword + L"\" \"" + archive + L"\" \"" + tar + L"\""));
    Plugin p(ini_with_7zip());
    HostCall call = listing_call(p, archive);
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    answer(d, kPassword);
    EXPECT_EQ(0, call.result());
    expect_served(p, archive);
}

// With the stand-in: what 7-Zip is given, and how.
TEST(Password, GoesOnStandardInputAndNeverOnACommandLine) {
    Served s;
    write_bytes(join(s.dir, L"password.txt"), utf8(kPassword));
    Plugin p(s.ini());
    HostCall call = listing_call(p, s.archive);
    HWND d = call.question();
    ASSERT_NE(nullptr, d);
    answer(d, kPassword);
    EXPECT_EQ(0, call.result());
    EXPECT_EQ(kBytes, fetch_memory(p, s.archive, 0));
    EXPECT_EQ(kLonger, fetch_memory(p, s.archive, 1));
    // The test without it, then with it; the listing and every extraction
    // (reading ahead or not) with it.
    std::string letters = s.letters();
    EXPECT_EQ("ttl", letters.substr(0, 3));
    std::string line = utf8(kPassword) + "\r\n", each;
    for (char c : letters.substr(3)) {
        EXPECT_EQ('x', c);
        each += line;
    }
    EXPECT_EQ(line, read_bytes(join(s.dir, L"in-t.txt")));
    EXPECT_EQ(line, read_bytes(join(s.dir, L"in-l.txt")));
    EXPECT_EQ(each, read_bytes(join(s.dir, L"in-x.txt")));
    for (const std::wstring& run : s.runs()) EXPECT_EQ(std::wstring::npos, run.find(L"Secret")) << utf8(run);
    // Nor is it in the settings file.
    EXPECT_EQ(std::string::npos, read_bytes(join(p.dir, L"rizazur.ini")).find("Secret"));
}
