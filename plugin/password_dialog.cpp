#include "plugin/password_dialog.h"

#include <windows.h>
#include <winternl.h>

#include "core/module.h"
#include "plugin/dialog_ids.h"

namespace {

enum Text { kTitle, kPrompt, kWrong, kCancel, kTextCount };

const wchar_t* const kEnglish[kTextCount] = {
    L"rizazur: password",
    L"This archive is encrypted. &Password:",
    L"That password did not open it. Try again. &Password:",
    L"Cancel",
};

const wchar_t* const kJapanese[kTextCount] = {
    L"rizazur: パスワード",
    L"このアーカイブは暗号化されています。パスワード(&P):",
    L"パスワードが違います。もう一度入力してください。パスワード(&P):",
    L"キャンセル",
};

const wchar_t* const* texts() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? kJapanese : kEnglish;
}

// Whether this thread holds the loader lock: the loader's own critical
// section, which the process environment block points to.
bool holds_loader_lock() {
#ifdef _WIN64
    const size_t kLoaderLock = 0x110;
#else
    const size_t kLoaderLock = 0xA0;
#endif
    const auto* peb = reinterpret_cast<const unsigned char*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + kLoaderLock);
    return lock && reinterpret_cast<DWORD_PTR>(lock->OwningThread) == GetCurrentThreadId() &&
           lock->RecursionCount > 0;
}

struct Question {
    const wchar16* archive;
    bool wrong;
    Secret* out;
};

// What was typed goes into the secret; the field is overwritten where it
// stood before it is emptied, so the control keeps no copy.
bool take_password(HWND dialog, Secret& out) {
    HWND field = GetDlgItem(dialog, IDC_PASSWORD);
    wchar16 typed[Secret::kChars];
    int length = GetWindowTextW(field, typed, Secret::kChars);
    bool taken = length > 0 && out.assign(typed, static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) typed[i] = L'*';
    typed[length > 0 ? length : 0] = 0;
    SetWindowTextW(field, typed);
    SetWindowTextW(field, L"");
    wipe(typed, sizeof typed);
    return taken;
}

INT_PTR CALLBACK question_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto* q = reinterpret_cast<Question*>(lparam);
        SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        const wchar_t* const* t = texts();
        SetWindowTextW(dialog, t[kTitle]);
        SetDlgItemTextW(dialog, IDC_PASSWORD_PROMPT, t[q->wrong ? kWrong : kPrompt]);
        SetDlgItemTextW(dialog, IDC_PASSWORD_ARCHIVE, q->archive);
        SetDlgItemTextW(dialog, IDCANCEL, t[kCancel]);
        SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, Secret::kChars - 1, 0);
        // Without an owner to stand in front of, it comes to the front itself.
        if (!GetWindow(dialog, GW_OWNER)) SetForegroundWindow(dialog);
        SetFocus(GetDlgItem(dialog, IDC_PASSWORD));
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            auto* q = reinterpret_cast<Question*>(GetWindowLongPtrW(dialog, DWLP_USER));
            // An empty password opens nothing: the question stays.
            if (!take_password(dialog, *q->out)) {
                MessageBeep(MB_ICONWARNING);
                SetFocus(GetDlgItem(dialog, IDC_PASSWORD));
                return TRUE;
            }
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

Asked ask_password(const wchar16* archive, bool wrong, Secret& out) {
    if (holds_loader_lock()) return Asked::kUnasked;
    Question q{archive, wrong, &out};
    INT_PTR shown = DialogBoxParamW(module_handle(), MAKEINTRESOURCEW(IDD_PASSWORD), GetActiveWindow(),
                                    question_proc, reinterpret_cast<LPARAM>(&q));
    if (shown == IDOK) return Asked::kGiven;
    return shown == IDCANCEL ? Asked::kCancelled : Asked::kUnasked;
}
