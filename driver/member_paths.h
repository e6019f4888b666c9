// What a listing knows of its kept members beyond their records: each one's
// full path, in position order, and whether 7-Zip can bring it out alone.
// Asked for one path, 7-Zip brings out every listed path it takes for the
// same (each character upper-cased on its own) and everything below it, and
// the file system folds case by a rule of its own: a member that another
// listed path (kept or not, folder or file) matches by either rule, or lies
// below, cannot be had alone. (Two paths whose hashes merely collide are
// taken for namesakes: a member refused, never another's bytes.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/records.h"

// What a listing's "CRC" of a member is: none, the CRC-32 of its bytes
// (most formats), or the 16-bit CRC that LHA archives keep, printed alike.
enum class CrcKind : uint8_t { kNone, kCrc32, kCrc16 };

// No solid block: the member is decoded on its own.
const uint32_t kNoBlock = UINT32_MAX;

class MemberPaths {
public:
    // Every listed path in listing order; the kept ones take the next
    // position. Past `limit` units of text in all, or when memory runs
    // out, nothing more is kept and complete() answers false.
    // A kept member's CRC goes with it when the listing gave one, and the
    // solid block it is decoded in. A "." element is the folder it stands
    // in, as 7-Zip writes it: "./a" and "a" are namesakes.
    void add(const wchar16* path, size_t len, bool kept, CrcKind crc_kind = CrcKind::kNone, uint32_t crc = 0,
             uint32_t block = kNoBlock);
    // After the last add: marks the members that cannot be had alone.
    void finish();

    void set_limit(size_t units) { limit_ = units; }
    bool complete() const { return complete_; }
    size_t size() const { return alone_.size(); }
    const wchar16* path(size_t position, size_t& len) const;
    bool alone(size_t position) const { return alone_[position]; }
    CrcKind crc(size_t position, uint32_t& value) const {
        value = crc_[position];
        return crc_kind_[position];
    }
    uint32_t block(size_t position) const { return block_[position]; }
    // The memory held, in bytes.
    size_t bytes() const;

private:
    // A listed path or a folder above one: a prefix of a path in text_,
    // with a hash of it under each rule, so that namesakes are found by
    // sorting, in time near the listing's length whatever its depth.
    struct Entry {
        uint32_t start;
        uint32_t length;
        uint32_t named;  // the units the hashes took: the path without its "." elements
        int32_t kept;  // the position, or -1: not kept, or a folder above a listed path
        uint64_t by_7zip;
        uint64_t by_file_system;
    };
    void give_up();

    std::vector<wchar16> text_;
    std::vector<Entry> entries_;  // while listing: every listed path and the folders above them
    std::vector<uint32_t> kept_;  // after finish: where each kept path starts in text_, and one past the last
    std::vector<bool> alone_;
    std::vector<uint32_t> crc_;
    std::vector<CrcKind> crc_kind_;
    std::vector<uint32_t> block_;
    size_t previous_ = SIZE_MAX;  // the entry of the path listed last
    size_t limit_ = SIZE_MAX;
    bool complete_ = true;
};
