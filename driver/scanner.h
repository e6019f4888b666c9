// The scan of a technical listing ("-slt -ba"): each "Path = " line paired
// with the first "Size = " line after it, the rule for which members are
// kept, and the two passes that build a MemberTable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/records.h"
#include "driver/capture.h"

struct ScannedMember {
    const wchar16* path;  // as listed, terminated
    size_t path_len;
    int32_t size;
};

// Calls visit(const ScannedMember&) for every member; visit answers false to
// stop the scan. A block without a size line takes the next block's size.
template <class Visitor>
void scan_members(PieceReader& reader, Visitor&& visit);

// The listed size as the C library's text-to-integer conversion reads it,
// saturating at the ends of the signed 32-bit range.
int32_t parse_size(const wchar16* text);
// Kept members: not empty, not over the threshold, and a size that fits the
// host record (sizes that saturated never qualify).
bool qualifies(int32_t size, int32_t threshold);
// The text after the last backslash.
const wchar16* file_name_of(const wchar16* path);
// Seconds since 1970 from a FILETIME count, clamped to the signed 32-bit range.
int32_t unix_time_from_filetime(uint64_t filetime);

// First pass: the number of members kept.
size_t count_members(PieceReader& reader, int32_t threshold);
// Second pass: fills at most `capacity` records of table, in listing order,
// and answers how many it filled.
size_t fill_members(PieceReader& reader, int32_t threshold, int32_t timestamp,
                    MemberRecord* table, size_t capacity);

bool is_head(const wchar16* piece, size_t len, const char* head);

template <class Visitor>
void scan_members(PieceReader& reader, Visitor&& visit) {
    wchar16 path[kPathChars];
    wchar16 piece[kPathChars];
    size_t path_len = 0, len = 0;
    for (;;) {
        if (!reader.next(path, path_len)) return;
        if (!is_head(path, path_len, "Path = ")) continue;
        bool sized = false;
        while (reader.next(piece, len)) {
            if (is_head(piece, len, "Size = ")) {
                sized = true;
                break;
            }
        }
        if (!sized) return;
        // The value runs from the 8th character and loses its last (the line feed).
        path[path_len - 1] = 0;
        size_t value_len = path_len - 8;
        // A line cut short loses a real character instead: never keep half a pair.
        if (value_len > 0 && path[6 + value_len] >= 0xD800 && path[6 + value_len] <= 0xDBFF)
            path[6 + value_len--] = 0;
        ScannedMember m{path + 7, value_len, parse_size(piece + 7)};
        if (!visit(m)) return;
    }
}
