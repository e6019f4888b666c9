#include "driver/scanner.h"

#include "core/text.h"

bool is_head(const wchar16* piece, size_t len, const char* head) {
    // Only pieces longer than the head have one; compared without regard to case.
    if (len <= 7) return false;
    for (size_t i = 0; i < 7; ++i) {
        wchar16 c = piece[i];
        char h = head[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<wchar16>(c - 'A' + 'a');
        if (h >= 'A' && h <= 'Z') h = static_cast<char>(h - 'A' + 'a');
        if (c != static_cast<unsigned char>(h)) return false;
    }
    return true;
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
        if (qualifies(m.size, threshold)) ++n;
        return true;
    });
    return n;
}

size_t fill_members(PieceReader& reader, int32_t threshold, int32_t timestamp,
                    MemberRecord* table, size_t capacity) {
    static const unsigned char kMethod[8] = {'7', 0, 'z', 0, 0, 0, 0, 0};
    size_t n = 0;
    scan_members(reader, [&](const ScannedMember& m) {
        if (!qualifies(m.size, threshold)) return true;
        if (n == capacity) return false;
        MemberRecord& r = table[n];
        for (size_t i = 0; i < sizeof r.method; ++i) r.method[i] = kMethod[i];
        r.position = n;
        r.compsize = static_cast<uintptr_t>(m.size);
        r.filesize = static_cast<uintptr_t>(m.size);
        r.timestamp = timestamp;
        r.path[0] = 0;
        copy_bounded(r.filename, kFieldChars, file_name_of(m.path));
        r.crc = 0;
        ++n;
        return true;
    });
    return n;
}
