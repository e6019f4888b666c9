#include "plugin/settings_dialog.h"

#include <shlobj.h>

#include "core/module.h"
#include "driver/archiver.h"
#include "driver/version_info.h"
#include "plugin/dialog_ids.h"

namespace {

enum Text {
    kFoundLabel,
    kFoundAt,
    kNotFound,
    kDirLabel,
    kBrowse,
    kExtLabel,
    kMaxLabel,
    kAheadLabel,
    kTarLabel,
    kTestLabel,
    kTestNote,
    kCancel,
    kBrowseTitle,
    kNoSevenZip,
    kMaxRange,
    kAheadRange,
    kExtEmpty,
    kCannotWrite,
    kAboutName,
    kAboutSevenZip,
    kAboutNoSevenZip,
    kAboutSettings,
    kTextCount
};

const wchar_t* const kEnglish[kTextCount] = {
    L"7-Zip in use:",
    L"7-Zip %s\r\n%s",
    L"7-Zip was not found (7z.exe and 7z.dll together). Looked in, in this order:",
    L"&Folder of 7z.exe and 7z.dll (empty: found by itself):",
    L"&Browse...",
    L"Files &offered (ext):",
    L"&Largest member, MiB (maxMB):",
    L"Read &ahead, MiB (aheadMB):",
    L"Read as &tar (tar):",
    L"&Quick open: list the archive, without testing it whole first (test=list)",
    L"Big archives show their first page at once; a damaged one is shown too, and its damaged pages fail.",
    L"Cancel",
    L"The folder that holds 7z.exe and 7z.dll",
    L"This folder does not hold both 7z.exe and 7z.dll:\r\n%s",
    L"The largest member must be a number of MiB from 1 to 2047.",
    L"The disk for reading ahead must be a number of MiB from 0 (none) to 65536.",
    L"The files offered cannot be empty (for example *.7z;*.zip;*.rar).",
    L"The settings file cannot be written; nothing was saved:\r\n%s",
    L"rizazur %s (%d-bit): Susie archive plug-in through 7-Zip",
    L"7-Zip in use: %s\r\n%s",
    L"7-Zip in use: none found",
    L"Settings file: %s",
};

const wchar_t* const kJapanese[kTextCount] = {
    L"使用中の 7-Zip:",
    L"7-Zip %s\r\n%s",
    L"7-Zip (7z.exe と 7z.dll の組) が見つかりません。次の順に探しました:",
    L"7z.exe と 7z.dll のフォルダー(&F) (空欄: 自動で探す):",
    L"参照(&B)...",
    L"対象ファイル (ext)(&O):",
    L"最大メンバー MiB (maxMB)(&L):",
    L"先読み MiB (aheadMB)(&A):",
    L"tar として読む (tar)(&T):",
    L"高速オープン: 全体を先に検査せず、一覧だけで開く (test=list)(&Q)",
    L"大きなアーカイブも最初のページがすぐ出ます。壊れたアーカイブも開き、壊れたページだけが失敗します。",
    L"キャンセル",
    L"7z.exe と 7z.dll のあるフォルダー",
    L"このフォルダーには 7z.exe と 7z.dll の両方がありません:\r\n%s",
    L"最大メンバーは 1 から 2047 までの MiB の数で指定してください。",
    L"先読み用ディスクは 0 (使わない) から 65536 までの MiB の数で指定してください。",
    L"対象ファイルは空にできません (例: *.7z;*.zip;*.rar)。",
    L"設定ファイルに書き込めません。何も保存していません:\r\n%s",
    L"rizazur %s (%d ビット): 7-Zip による Susie アーカイブプラグイン",
    L"使用中の 7-Zip: %s\r\n%s",
    L"使用中の 7-Zip: 見つかりません",
    L"設定ファイル: %s",
};

// The user's UI language where there is a translation, else English.
const wchar_t* const* texts() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? kJapanese : kEnglish;
}

// Fills a format of ours with up to two texts; never past the buffer.
WideString format(const wchar_t* pattern, const wchar_t* a, const wchar_t* b = L"") {
    WideString out;
    for (const wchar_t* p = pattern; *p; ++p) {
        if (p[0] == L'%' && p[1] == L's') {
            out += a;
            a = b;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// Per-monitor DPI for this thread while a dialog is open (Windows 10 on),
// so it is drawn sharp at the DPI of the screen it is on; the host's own
// windows keep their awareness.
class DpiScope {
public:
    DpiScope() {
        auto set = reinterpret_cast<Set>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
        if (!set) return;
        set_ = set;
        old_ = set_(reinterpret_cast<HANDLE>(-4));  // per monitor, version 2
        if (!old_) old_ = set_(reinterpret_cast<HANDLE>(-3));  // per monitor
    }
    ~DpiScope() {
        if (old_) set_(old_);
    }
    DpiScope(const DpiScope&) = delete;
    DpiScope& operator=(const DpiScope&) = delete;

private:
    typedef HANDLE(WINAPI* Set)(HANDLE);
    Set set_ = nullptr;
    HANDLE old_ = nullptr;
};

WideString control_text(HWND dialog, int id) {
    wchar_t text[kPathChars];
    GetDlgItemTextW(dialog, id, text, kPathChars);
    return text;
}

// What the user is told of the 7-Zip these settings lead to.
WideString seven_zip_report(const Settings& s, const wchar_t* const* t) {
    wchar16 exe[kPathChars];
    if (find_7zip(s, exe)) {
        WideString version = program_version(exe);
        return format(t[kFoundAt], version.empty() ? L"?" : version.c_str(), exe);
    }
    WideString report = t[kNotFound];
    for (const WideString& place : places_sought(s)) report += L"\r\n" + place;
    return report;
}

void say(HWND dialog, const WideString& message, int focus) {
    SetDlgItemTextW(dialog, IDC_MESSAGE, message.c_str());
    MessageBeep(MB_ICONWARNING);
    HWND control = GetDlgItem(dialog, focus);
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    SendMessageW(control, EM_SETSEL, 0, -1);
}

int CALLBACK browse_started(HWND browser, UINT message, LPARAM, LPARAM start) {
    if (message == BFFM_INITIALIZED && start) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, start);
    return 0;
}

void browse(HWND dialog, const wchar_t* const* t) {
    // The new-style browser needs a single-threaded apartment; in a thread
    // the host made multi-threaded, the classic one serves.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    WideString start = control_text(dialog, IDC_DIR);
    BROWSEINFOW info = {};
    info.hwndOwner = dialog;
    info.lpszTitle = t[kBrowseTitle];
    info.ulFlags = BIF_RETURNONLYFSDIRS | (SUCCEEDED(com) ? BIF_NEWDIALOGSTYLE : 0);
    info.lpfn = browse_started;
    info.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
    LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
    if (chosen) {
        wchar_t path[MAX_PATH];
        if (SHGetPathFromIDListW(chosen, path)) SetDlgItemTextW(dialog, IDC_DIR, path);
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

// Checks what was typed and saves it; false (the dialog stays, with what
// was typed and why) when it cannot be saved.
bool save(HWND dialog, const wchar_t* const* t) {
    Settings s = {};
    copy_bounded(s.dir, kPathChars, control_text(dialog, IDC_DIR).c_str());
    copy_bounded(s.ext, kPathChars, control_text(dialog, IDC_EXT).c_str());
    copy_bounded(s.tar, kPathChars, control_text(dialog, IDC_TAR).c_str());
    BOOL number = FALSE;
    UINT max = GetDlgItemInt(dialog, IDC_MAXMB, &number, FALSE);
    if (!number || max < 1 || max > 2047) {
        say(dialog, t[kMaxRange], IDC_MAXMB);
        return false;
    }
    s.maxMB = static_cast<int>(max);
    UINT ahead = GetDlgItemInt(dialog, IDC_AHEADMB, &number, FALSE);
    if (!number || ahead > 65536) {
        say(dialog, t[kAheadRange], IDC_AHEADMB);
        return false;
    }
    s.aheadMB = static_cast<int>(ahead);
    s.claim_by_listing = IsDlgButtonChecked(dialog, IDC_TEST_LIST) == BST_CHECKED;
    if (!s.ext[0]) {
        say(dialog, t[kExtEmpty], IDC_EXT);
        return false;
    }
    wchar16 exe[kPathChars];
    if (s.dir[0] && !find_7zip(s, exe)) {
        std::vector<WideString> places = places_sought(s);
        say(dialog, format(t[kNoSevenZip], places.empty() ? s.dir : places[0].c_str()), IDC_DIR);
        return false;
    }
    if (!write_settings(s)) {
        wchar16 ini[kPathChars];
        settings_path(ini);
        say(dialog, format(t[kCannotWrite], ini), IDOK);
        return false;
    }
    return true;
}

void show_settings(HWND dialog, const wchar_t* const* t) {
    static const struct {
        int id;
        Text text;
    } kLabels[] = {{IDC_FOUND_LABEL, kFoundLabel}, {IDC_DIR_LABEL, kDirLabel}, {IDC_BROWSE, kBrowse},
                   {IDC_EXT_LABEL, kExtLabel},     {IDC_MAXMB_LABEL, kMaxLabel}, {IDC_AHEADMB_LABEL, kAheadLabel}, {IDC_TAR_LABEL, kTarLabel},
                   {IDC_TEST_LIST, kTestLabel}, {IDC_TEST_NOTE, kTestNote}, {IDCANCEL, kCancel}};
    for (const auto& label : kLabels) SetDlgItemTextW(dialog, label.id, t[label.text]);
    Settings s = read_settings();
    SetDlgItemTextW(dialog, IDC_FOUND, seven_zip_report(s, t).c_str());
    for (int id : {IDC_DIR, IDC_EXT, IDC_TAR, IDC_MAXMB, IDC_AHEADMB})
        SendDlgItemMessageW(dialog, id, EM_LIMITTEXT, kPathChars - 1, 0);
    SetDlgItemTextW(dialog, IDC_DIR, s.dir);
    SetDlgItemTextW(dialog, IDC_EXT, s.ext);
    SetDlgItemInt(dialog, IDC_MAXMB, static_cast<UINT>(s.maxMB < 0 ? 0 : s.maxMB), FALSE);
    SetDlgItemInt(dialog, IDC_AHEADMB, static_cast<UINT>(s.aheadMB < 0 ? 0 : s.aheadMB), FALSE);
    SetDlgItemTextW(dialog, IDC_TAR, s.tar);
    CheckDlgButton(dialog, IDC_TEST_LIST, s.claim_by_listing ? BST_CHECKED : BST_UNCHECKED);
}

INT_PTR CALLBACK settings_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    const wchar_t* const* t = texts();
    switch (message) {
    case WM_INITDIALOG:
        show_settings(dialog, t);
        // Focus on the folder, where most come to change something.
        SetFocus(GetDlgItem(dialog, IDC_DIR));
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            if (save(dialog, t)) EndDialog(dialog, 0);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_BROWSE:
            browse(dialog, t);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

WideString about_text(const wchar_t* const* t) {
    wchar_t name[kPathChars];
    wsprintfW(name, t[kAboutName], RIZAZUR_VERSION, static_cast<int>(sizeof(void*) * 8));
    WideString text = name;
    text += L"\r\n\r\n";
    Settings s = read_settings();
    wchar16 exe[kPathChars];
    if (find_7zip(s, exe)) {
        WideString version = program_version(exe);
        text += format(t[kAboutSevenZip], version.empty() ? L"?" : version.c_str(), exe);
    } else {
        text += t[kAboutNoSevenZip];
    }
    wchar16 ini[kPathChars];
    if (!settings_path(ini)) ini[0] = 0;
    text += L"\r\n\r\n" + format(t[kAboutSettings], ini);
    return text;
}

INT_PTR CALLBACK about_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextW(dialog, IDC_ABOUT_TEXT, about_text(texts()).c_str());
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

int open_configuration(HWND parent, int fnc) {
    if (fnc != 0 && fnc != 1) return -1;
    if (parent && !IsWindow(parent)) parent = nullptr;
    DpiScope dpi;
    INT_PTR shown = fnc == 1 ? DialogBoxParamW(module_handle(), MAKEINTRESOURCEW(IDD_SETTINGS), parent, settings_proc, 0)
                             : DialogBoxParamW(module_handle(), MAKEINTRESOURCEW(IDD_ABOUT), parent, about_proc, 0);
    return shown == -1 ? -1 : 0;
}
