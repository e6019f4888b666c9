#include "driver/paths.h"

#include "core/platform.h"

namespace {

bool is_separator(wchar16 c) { return c == '\\' || c == '/'; }

// Characters no Windows file name holds. The archiver would write such a
// member under another name; "*" and "?" would pick other members too; and a
// quote would end the member's quoting on the command line, turning the rest
// of the name into switches (or, in the tar pipe, into cmd commands).
bool is_forbidden(wchar16 c) {
    return c < 0x20 || c == '"' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|';
}

wchar16 upper(wchar16 c) { return c >= 'a' && c <= 'z' ? static_cast<wchar16>(c - 'a' + 'A') : c; }

// An element (begin..end) holding only dots and spaces.
bool is_dots(const wchar16* begin, const wchar16* end) {
    for (const wchar16* p = begin; p != end; ++p)
        if (*p != '.' && *p != ' ') return false;
    return true;
}

bool equals(const wchar16* begin, const wchar16* end, const char* word) {
    for (; begin != end; ++begin, ++word)
        if (!*word || upper(*begin) != static_cast<unsigned char>(*word)) return false;
    return *word == 0;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with superscript digits),
// CONIN$ and CONOUT$: Windows opens the device whatever the extension.
// The name runs to its first separator.
bool is_device_name(const wchar16* name) {
    const wchar16* end = name;
    while (*end && *end != '.' && !is_separator(*end)) ++end;
    while (end != name && end[-1] == ' ') --end;
    static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : kPlain)
        if (equals(name, end, word)) return true;
    if (end - name == 4 && (equals(name, name + 3, "COM") || equals(name, name + 3, "LPT"))) {
        wchar16 d = name[3];
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

wchar16 unify_separator(wchar16 c) { return c == '/' ? '\\' : c; }

int compare_7zip(wchar16 a, wchar16 b) {
    wchar16 x = upper_7zip(a), y = upper_7zip(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

int compare_ordinal(wchar16 a, wchar16 b) {
    wchar16 x = platform::upper_ordinal(a), y = platform::upper_ordinal(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// The first `n` units of both, then the lengths.
template <class CompareUnits>
int compare_prefix(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len, size_t n,
                   CompareUnits compare) {
    for (size_t i = 0; i < n; ++i) {
        wchar16 x = unify_separator(a[i]), y = unify_separator(b[i]);
        if (x == y) continue;
        if (int c = compare(x, y)) return c;
    }
    return a_len < b_len ? -1 : a_len > b_len ? 1 : 0;
}

template <class CompareUnits>
int compare_paths(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len, CompareUnits compare) {
    return compare_prefix(a, a_len, b, b_len, a_len < b_len ? a_len : b_len, compare);
}

}  // namespace

wchar16 upper_7zip(wchar16 c) {
    if (c < 'a') return c;
    if (c <= 'z') return static_cast<wchar16>(c - 'a' + 'A');
    return c < 0x80 ? c : platform::upper_unit(c);
}

int compare_paths_7zip(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len) {
    return compare_paths(a, a_len, b, b_len, compare_7zip);
}

int compare_paths_ordinal(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len) {
    return compare_paths(a, a_len, b, b_len, compare_ordinal);
}

uint64_t path_digest(const wchar16* path, size_t len) {
    // FNV-1a over the units as compare_ordinal sees them.
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < len; ++i) h = (h ^ platform::upper_ordinal(unify_separator(path[i]))) * 1099511628211ull;
    return h;
}

namespace {

// The path without its "." elements (each followed by a separator): 7-Zip
// writes "./a" and "a\\.\\b" as "a" and "a\\b".
WideString without_dots(const wchar16* path, size_t len) {
    WideString out;
    for (size_t i = 0; i < len; ++i) {
        if (path[i] == '.' && (i == 0 || is_separator(path[i - 1])) && i + 1 < len && is_separator(path[i + 1])) {
            ++i;
            continue;
        }
        out += path[i];
    }
    return out;
}

}  // namespace

bool brings_out(const wchar16* member_path, size_t member_path_len, const wchar16* other_path,
                size_t other_path_len) {
    const WideString m = without_dots(member_path, member_path_len), o = without_dots(other_path, other_path_len);
    const wchar16 *member = m.data(), *other = o.data();
    const size_t member_len = m.size(), other_len = o.size();
    if (other_len < member_len || (other_len > member_len && !is_separator(other[member_len]))) return false;
    // The same length: the same path; longer: the member is a folder of it.
    return compare_prefix(member, member_len, other, member_len, member_len, compare_7zip) == 0 ||
           compare_prefix(member, member_len, other, member_len, member_len, compare_ordinal) == 0;
}

bool is_contained_path(const wchar16* path) {
    if (!path[0] || is_separator(path[0])) return false;
    const wchar16* element = path;
    for (const wchar16* p = path;; ++p) {
        if (*p == ':' || (*p != 0 && is_forbidden(*p))) return false;
        if (*p == 0 || is_separator(*p)) {
            // A leading or inner "." stays put: tar members often begin ".\".
            bool here = *p != 0 && p - element == 1 && *element == '.';
            if (p != element && !here && (is_dots(element, p) || is_device_name(element))) return false;
            if (*p == 0) return true;
            element = p + 1;
        }
    }
}

// The most UTF-16 units a file name may hold.
const size_t kLongestName = 255;

bool written_as_listed(const wchar16* path, WideString& written) {
    written.clear();
    if (!is_contained_path(path)) return false;
    const wchar16* element = path;
    for (const wchar16* p = path;; ++p) {
        wchar16 c = *p;
        if (c == 0 || is_separator(c)) {
            size_t n = static_cast<size_t>(p - element);
            // Longer than a file name may be: no file can be made under it.
            if (n > kLongestName) return false;
            if (n == 0 || p[-1] == '.' || p[-1] == ' ') {
                if (n != 1 || *element != '.') return false;
            } else {
                if (!written.empty()) written += '\\';
                written.append(element, n);
            }
            if (c == 0) return !written.empty();
            element = p + 1;
            continue;
        }
        if (c == '~') return false;
        // A surrogate stands only in a pair: a lone one has no name on disk.
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
}

bool is_plain_file_name(const wchar16* name) {
    if (!name[0]) return false;
    const wchar16* end = name;
    for (; *end; ++end)
        if (is_separator(*end) || *end == ':' || is_forbidden(*end)) return false;
    if (is_dots(name, end)) return false;
    return !is_device_name(name);
}

WideString extended_path(const WideString& path) {
    static const size_t kMaxPath = 260;
    if (path.size() < kMaxPath || path.compare(0, 4, from_ascii("\\\\?\\")) == 0) return path;
    if (path.compare(0, 2, from_ascii("\\\\")) == 0) return from_ascii("\\\\?\\UNC") + path.substr(1);
    return from_ascii("\\\\?\\") + path;
}
