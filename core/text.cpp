#include "core/text.h"

#include <cstring>
#include <vector>

#include "core/platform.h"

namespace {

bool is_high_surrogate(wchar16 c) { return c >= 0xD800 && c <= 0xDBFF; }

}  // namespace

size_t wide_len(const wchar16* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

WideString from_ascii(const char* ascii) {
    WideString s;
    while (*ascii) s.push_back(static_cast<wchar16>(*ascii++));
    return s;
}

size_t copy_bounded(wchar16* dst, size_t cap, const wchar16* src, size_t src_len) {
    if (cap == 0) return 0;
    size_t n = src_len < cap - 1 ? src_len : cap - 1;
    if (n < src_len && n > 0 && is_high_surrogate(src[n - 1])) --n;
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    dst[n] = 0;
    return n;
}

size_t copy_bounded(wchar16* dst, size_t cap, const wchar16* src) {
    return copy_bounded(dst, cap, src, wide_len(src));
}

size_t copy_bounded(char* dst, size_t cap, const char* src) {
    if (cap == 0) return 0;
    size_t n = 0;
    while (n + 1 < cap && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

bool to_wide(const char* ansi, wchar16* out, size_t cap) {
    if (cap == 0) return false;
    int len = static_cast<int>(strlen(ansi));
    int need = platform::ansi_to_wide(ansi, len, nullptr, 0);
    if (need <= 0) {
        out[0] = 0;
        return len == 0;
    }
    if (static_cast<size_t>(need) < cap) {
        int got = platform::ansi_to_wide(ansi, len, out, need);
        out[got > 0 ? got : 0] = 0;
        return got == need;
    }
    std::vector<wchar16> whole(static_cast<size_t>(need));
    int got = platform::ansi_to_wide(ansi, len, whole.data(), need);
    copy_bounded(out, cap, whole.data(), got > 0 ? static_cast<size_t>(got) : 0);
    return false;
}

size_t ansi_length(const wchar16* wide) {
    int n = platform::wide_to_ansi(wide, static_cast<int>(wide_len(wide)), nullptr, 0);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool to_ansi(const wchar16* wide, char* out, size_t cap) {
    if (cap == 0) return false;
    size_t len = wide_len(wide);
    bool whole = true;
    for (;;) {
        int need = len ? platform::wide_to_ansi(wide, static_cast<int>(len), nullptr, 0) : 0;
        if (len && need <= 0) {
            // The code page cannot take this text at all.
            out[0] = 0;
            return false;
        }
        if (static_cast<size_t>(need) < cap) {
            int got = need ? platform::wide_to_ansi(wide, static_cast<int>(len), out, need) : 0;
            out[got > 0 ? got : 0] = 0;
            return whole && got == need;
        }
        // Drop one character (both halves of a pair) and try the shorter text.
        whole = false;
        --len;
        if (len > 0 && is_high_surrogate(wide[len - 1])) --len;
    }
}

void through_ansi(const wchar16* name, wchar16 (&out)[kFieldChars]) {
    char ansi[kFieldChars];
    to_ansi(name, ansi, sizeof ansi);
    to_wide(ansi, out, kFieldChars);
}

namespace {

bool is_separator(wchar16 c) { return c == '\\' || c == '/'; }

}  // namespace

bool fill_folder(wchar16 (&field)[kFieldChars], const wchar16* folder, size_t len) {
    size_t n = copy_bounded(field, kFieldChars, folder, len);
    if (n == len) return true;
    while (n > 0 && is_separator(field[n - 1])) field[--n] = 0;
    return false;
}

bool to_ansi_folder(const wchar16* folder, char* out, size_t cap) {
    if (to_ansi(folder, out, cap)) return true;
    // What fitted, back in wide text, without the separators it may end in.
    std::vector<wchar16> fitted(cap + 1);
    to_wide(out, fitted.data(), fitted.size());
    size_t n = wide_len(fitted.data());
    while (n > 0 && is_separator(fitted[n - 1])) fitted[--n] = 0;
    to_ansi(fitted.data(), out, cap);
    return false;
}

void folder_through_ansi(const wchar16* folder, wchar16 (&out)[kFieldChars]) {
    char ansi[kFieldChars];
    to_ansi_folder(folder, ansi, sizeof ansi);
    to_wide(ansi, out, kFieldChars);
}

void convert_record(const MemberRecord& in, fileInfo& out) {
    memset(&out, 0, sizeof out);
    // method is a byte string: copy up to and including its first zero.
    for (size_t i = 0; i < sizeof out.method; ++i) {
        out.method[i] = in.method[i];
        if (in.method[i] == 0) break;
    }
    out.position = in.position;
    out.compsize = in.compsize;
    out.filesize = in.filesize;
    out.timestamp = in.timestamp;
    to_ansi_folder(in.path, out.path, sizeof out.path);
    to_ansi(in.filename, out.filename, sizeof out.filename);
    out.crc = 0;
}

fileInfo* convert_table(const MemberRecord* table) {
    size_t n = table_count(table);
    size_t bytes;
    if (!table_bytes(n, sizeof(fileInfo), bytes)) return nullptr;
    auto* out = static_cast<fileInfo*>(platform::alloc_block(bytes));
    if (!out) return nullptr;
    for (size_t i = 0; i < n; ++i) convert_record(table[i], out[i]);
    return out;
}
