// The scan of a technical listing ("-slt -ba"): each "Path = " line paired
// with the first "Size = " line after it and what the member's block says of
// it, the rule for which members are kept, and the two passes that build a
// MemberTable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/records.h"
#include "core/text.h"
#include "driver/capture.h"
#include "driver/member_paths.h"

// The longest path a command line can name: longer ones cannot be fetched.
const size_t kMaxMemberPath = 32766;

struct ScannedMember {
    const wchar16* path;  // the whole line's value, terminated
    size_t path_len;
    int32_t size;
    bool folder;  // "Folder = +"
    bool link;    // a symbolic or hard link, which 7-Zip cannot bring out as the member's bytes
    CrcKind crc_kind;  // what the listing's CRC of its bytes is, if it gave one
    uint32_t crc;
    uint32_t block;  // the solid block it is decoded in, or kNoBlock
};

// Calls visit(const ScannedMember&) for every member; visit answers false to
// stop the scan. A block without a size line takes the next block's size
// (and that block's path is lost). Heads are looked for at the start of a
// line only, so the rest of a long line is never taken for one.
template <class Visitor>
void scan_members(PieceReader& reader, Visitor&& visit);

// The listed size as the C library's text-to-integer conversion reads it,
// saturating at the ends of the signed 32-bit range.
int32_t parse_size(const wchar16* text);
// Members of a size worth listing: not empty, not over the threshold, and a
// size that fits the host record (sizes that saturated never qualify).
bool qualifies(int32_t size, int32_t threshold);
// Kept members take positions: files of a size that qualifies, with a path
// a command line can name.
bool is_kept(const ScannedMember& m, int32_t threshold);
// Whether a record is the one a listing makes for this member now: the
// same folder and file name (as the record's fields hold them) and the
// same size. A
// member found by position in a new listing is fetched only when it is.
bool describes(const MemberRecord& record, const ScannedMember& m);
// The text after the last backslash; what comes before it is the member's folder.
const wchar16* file_name_of(const wchar16* path);
// Seconds since 1970 from a FILETIME count, clamped to the signed 32-bit range.
int32_t unix_time_from_filetime(uint64_t filetime);

// First pass: the number of members kept.
size_t count_members(PieceReader& reader, int32_t threshold);
// Second pass: fills at most `capacity` records of table, in listing order,
// and answers how many it filled. Every listed path goes to paths too.
size_t fill_members(PieceReader& reader, int32_t threshold, int32_t timestamp, MemberRecord* table, size_t capacity,
                    MemberPaths* paths = nullptr);
// Whether a listing names no member at all but shows a size: what 7-Zip
// prints for a compressed stream that keeps no name (bzip2, xz).
bool sizes_without_paths(PieceReader& reader);

// Whether a line (len units) starts with head, without regard to case, and
// holds more than the head.
bool is_head(const wchar16* piece, size_t len, const char* head);

// What a member's block says besides its path and size.
struct BlockFacts {
    bool folder = false;
    bool link = false;
    bool has_crc = false;
    bool lha = false;  // an LHA method: its CRC is 16 bits
    uint32_t crc = 0;
    uint32_t block = kNoBlock;
    void note(const wchar16* piece, size_t len);
    CrcKind crc_kind() const { return !has_crc ? CrcKind::kNone : lha ? CrcKind::kCrc16 : CrcKind::kCrc32; }
};

template <class Visitor>
void scan_members(PieceReader& reader, Visitor&& visit) {
    WideString path;
    wchar16 piece[kPathChars];
    size_t len = 0;
    bool have_path = false, sized = false, line_start = true;
    int32_t size = 0;
    BlockFacts facts;
    auto emit = [&] {
        ScannedMember m{path.c_str(), path.size(), size, facts.folder, facts.link, facts.crc_kind(), facts.crc,
                         facts.block};
        return visit(m);
    };
    while (reader.next(piece, len)) {
        bool head = line_start;
        line_start = piece[len - 1] == '\n';
        if (!head) continue;  // the rest of a long line
        if (is_head(piece, len, "Path = ")) {
            if (have_path && !sized) {
                while (!line_start && reader.next(piece, len)) line_start = piece[len - 1] == '\n';
                continue;
            }
            if (have_path && !emit()) return;
            // The whole value, without its line feed; past the longest
            // command line it can never be named, and stops growing.
            path.assign(piece + 7, len - 7);
            while (!line_start && reader.next(piece, len)) {
                line_start = piece[len - 1] == '\n';
                if (path.size() <= kMaxMemberPath) path.append(piece, len);
            }
            if (!path.empty() && path.back() == '\n') path.pop_back();
            have_path = true;
            sized = false;
            facts = BlockFacts();
        } else if (!have_path) {
            continue;
        } else if (!sized && is_head(piece, len, "Size = ")) {
            size = parse_size(piece + 7);
            sized = true;
        } else {
            facts.note(piece, len);
        }
    }
    if (have_path && sized) emit();
}
