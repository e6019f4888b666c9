#include "driver/scanner.h"

bool is_head(const wchar16* piece, size_t len, const char* head) {
    // Only lines longer than the head have one; compared without regard to case.
    size_t n = 0;
    for (; head[n]; ++n) {
        if (n >= len) return false;
        wchar16 c = piece[n];
        char h = head[n];
        if (c >= 'A' && c <= 'Z') c = static_cast<wchar16>(c - 'A' + 'a');
        if (h >= 'A' && h <= 'Z') h = static_cast<char>(h - 'A' + 'a');
        if (c != static_cast<unsigned char>(h)) return false;
    }
    return len > n;
}

namespace {

// The value after a head, without its line feed, is not empty.
bool has_value(const wchar16* piece, size_t len, size_t head_len) {
    return len > head_len && piece[head_len] != '\n';
}

// A Unix mode such as "lrwxrwxrwx" after the Windows attribute letters
// marks a symbolic link in archives that keep no link property (rar 4).
bool has_link_mode(const wchar16* value, size_t len) {
    for (size_t i = 0; i + 10 <= len; ++i) {
        if (value[i] != 'l' || (i > 0 && value[i - 1] != ' ')) continue;
        bool mode = i + 10 == len || value[i + 10] == ' ' || value[i + 10] == '\n';
        for (size_t k = 1; mode && k < 10; ++k) {
            wchar16 c = value[i + k];
            mode = c == 'r' || c == 'w' || c == 'x' || c == 's' || c == 'S' || c == 't' || c == 'T' ||
                   c == '-';
        }
        if (mode) return true;
    }
    return false;
}

// Eight hex digits and the end of the line, or the listing gave none.
bool parse_crc(const wchar16* value, size_t len, uint32_t& crc) {
    if (len > 0 && value[len - 1] == '\n') --len;
    if (len > 0 && value[len - 1] == '\r') --len;
    if (len != 8) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        wchar16 c = value[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        v = v << 4 | static_cast<uint32_t>(digit);
    }
    crc = v;
    return true;
}

// "-lh5-", "-lzs-" and the like: the methods of LHA archives, whose CRC is
// 16 bits wide.
bool is_lha_method(const wchar16* value, size_t len) {
    if (len > 0 && value[len - 1] == '\n') --len;
    if (len > 0 && value[len - 1] == '\r') --len;
    return len == 5 && value[0] == '-' && (value[1] | 0x20) == 'l' && value[4] == '-';
}

// A block number of decimal digits to the end of the line, or kNoBlock.
uint32_t parse_block(const wchar16* value, size_t len) {
    if (len > 0 && value[len - 1] == '\n') --len;
    if (len > 0 && value[len - 1] == '\r') --len;
    if (len == 0 || len > 9) return kNoBlock;
    uint32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (value[i] < '0' || value[i] > '9') return kNoBlock;
        v = v * 10 + static_cast<uint32_t>(value[i] - '0');
    }
    return v;
}

}  // namespace

void BlockFacts::note(const wchar16* piece, size_t len) {
    // Most lines of a block are none of these: their first letter says so.
    wchar16 first = piece[0] | 0x20;
    if (first != 'f' && first != 's' && first != 'h' && first != 'a' && first != 'c' && first != 'b' &&
        first != 'm')
        return;
    if (is_head(piece, len, "CRC = "))
        has_crc = parse_crc(piece + 6, len - 6, crc);
    else if (is_head(piece, len, "Method = "))
        lha = is_lha_method(piece + 9, len - 9);
    else if (is_head(piece, len, "Block = "))
        block = parse_block(piece + 8, len - 8);
    else if (is_head(piece, len, "Folder = "))
        folder = folder || piece[9] == '+';
    else if (is_head(piece, len, "Symbolic Link = "))
        link = link || has_value(piece, len, 16);
    else if (is_head(piece, len, "Hard Link = "))
        link = link || has_value(piece, len, 12);
    else if (is_head(piece, len, "Attributes = "))
        link = link || has_link_mode(piece + 13, len - 13);
}

int32_t parse_size(const wchar16* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > limit) value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

bool qualifies(int32_t size, int32_t threshold) {
    return size > 0 && size < INT32_MAX && size <= threshold;
}

bool is_kept(const ScannedMember& m, int32_t threshold) {
    // A NUL inside a path would cut it short wherever it is used as text,
    // and a member with no name at all cannot be asked for.
    return qualifies(m.size, threshold) && !m.folder && !m.link && m.path_len > 0 &&
           m.path_len <= kMaxMemberPath && wide_len(m.path) == m.path_len;
}

const wchar16* file_name_of(const wchar16* path) {
    const wchar16* name = path;
    for (; *path; ++path)
        if (*path == '\\') name = path + 1;
    return name;
}

int32_t unix_time_from_filetime(uint64_t filetime) {
    const int64_t kEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601
    if (filetime > static_cast<uint64_t>(INT64_MAX)) return INT32_MAX;
    int64_t seconds = (static_cast<int64_t>(filetime) - kEpoch) / 10000000;
    if (seconds > INT32_MAX) return INT32_MAX;
    if (seconds < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(seconds);
}

size_t count_members(PieceReader& reader, int32_t threshold) {
    size_t n = 0;
    scan_members(reader, [&](const ScannedMember& m) {
        if (is_kept(m, threshold)) ++n;
        return true;
    });
    return n;
}

namespace {

bool same_field(const wchar16 (&a)[kFieldChars], const wchar16 (&b)[kFieldChars]) {
    for (size_t i = 0; i < kFieldChars; ++i) {
        if (a[i] != b[i]) return false;
        if (!a[i]) return true;
    }
    return true;
}

}  // namespace

bool describes(const MemberRecord& record, const ScannedMember& m) {
    if (record.filesize != static_cast<uintptr_t>(m.size)) return false;
    const wchar16* name = file_name_of(m.path);
    wchar16 folder[kFieldChars] = {}, file[kFieldChars];
    fill_folder(folder, m.path, static_cast<size_t>(name - m.path));
    copy_bounded(file, kFieldChars, name);
    return same_field(folder, record.path) && same_field(file, record.filename);
}

size_t fill_members(PieceReader& reader, int32_t threshold, int32_t timestamp, MemberRecord* table, size_t capacity,
                    MemberPaths* paths) {
    static const unsigned char kMethod[8] = {'7', 0, 'z', 0, 0, 0, 0, 0};
    size_t n = 0;
    scan_members(reader, [&](const ScannedMember& m) {
        bool kept = is_kept(m, threshold) && n < capacity;
        if (paths) paths->add(m.path, m.path_len, kept, m.crc_kind, m.crc, m.block);
        if (!kept) return true;
        MemberRecord& r = table[n];
        for (size_t i = 0; i < sizeof r.method; ++i) r.method[i] = kMethod[i];
        r.position = n;
        r.compsize = static_cast<uintptr_t>(m.size);
        r.filesize = static_cast<uintptr_t>(m.size);
        r.timestamp = timestamp;
        const wchar16* name = file_name_of(m.path);
        fill_folder(r.path, m.path, static_cast<size_t>(name - m.path));
        copy_bounded(r.filename, kFieldChars, name);
        r.crc = 0;
        ++n;
        return true;
    });
    return n;
}

bool sizes_without_paths(PieceReader& reader) {
    wchar16 piece[kPathChars];
    size_t len = 0;
    bool line_start = true, sized = false;
    while (reader.next(piece, len)) {
        bool head = line_start;
        line_start = piece[len - 1] == '\n';
        if (!head) continue;
        if (is_head(piece, len, "Path = ")) return false;
        sized = sized || is_head(piece, len, "Size = ");
    }
    return sized;
}
