// The records, result codes and flags a Susie host and this plug-in share.
// The layouts are an ABI with programs we do not build: every size and
// offset is checked below, for both the 32-bit and the 64-bit build.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
typedef wchar_t wchar16;
#else
typedef char16_t wchar16;  // lets the portable core build natively
#endif
static_assert(sizeof(wchar16) == 2, "wide text is UTF-16");

// Paths, settings values and capture pieces: 259 characters and a terminator.
const size_t kPathChars = 260;
// Text fields of the host records: 199 units and a terminator.
const size_t kFieldChars = 200;

#pragma pack(push, 1)
struct fileInfo {
    unsigned char method[8];
    uintptr_t position;
    uintptr_t compsize;
    uintptr_t filesize;
    intptr_t timestamp;
    char path[kFieldChars];
    char filename[kFieldChars];
    uint32_t crc;
#if UINTPTR_MAX > 0xFFFFFFFFu
    unsigned char padding[4];  // hosts size the 64-bit record to 8-byte alignment
#endif
};

struct fileInfoW {
    unsigned char method[8];
    uintptr_t position;
    uintptr_t compsize;
    uintptr_t filesize;
    intptr_t timestamp;
    wchar16 path[kFieldChars];
    wchar16 filename[kFieldChars];
    uint32_t crc;
#if UINTPTR_MAX > 0xFFFFFFFFu
    unsigned char padding[4];
#endif
};
#pragma pack(pop)

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(fileInfo) == 448, "fileInfo size");
static_assert(offsetof(fileInfo, position) == 8, "fileInfo.position");
static_assert(offsetof(fileInfo, compsize) == 16, "fileInfo.compsize");
static_assert(offsetof(fileInfo, filesize) == 24, "fileInfo.filesize");
static_assert(offsetof(fileInfo, timestamp) == 32, "fileInfo.timestamp");
static_assert(offsetof(fileInfo, path) == 40, "fileInfo.path");
static_assert(offsetof(fileInfo, filename) == 240, "fileInfo.filename");
static_assert(offsetof(fileInfo, crc) == 440, "fileInfo.crc");
static_assert(sizeof(fileInfoW) == 848, "fileInfoW size");
static_assert(offsetof(fileInfoW, position) == 8, "fileInfoW.position");
static_assert(offsetof(fileInfoW, compsize) == 16, "fileInfoW.compsize");
static_assert(offsetof(fileInfoW, filesize) == 24, "fileInfoW.filesize");
static_assert(offsetof(fileInfoW, timestamp) == 32, "fileInfoW.timestamp");
static_assert(offsetof(fileInfoW, path) == 40, "fileInfoW.path");
static_assert(offsetof(fileInfoW, filename) == 440, "fileInfoW.filename");
static_assert(offsetof(fileInfoW, crc) == 840, "fileInfoW.crc");
#else
static_assert(sizeof(fileInfo) == 428, "fileInfo size");
static_assert(offsetof(fileInfo, position) == 8, "fileInfo.position");
static_assert(offsetof(fileInfo, compsize) == 12, "fileInfo.compsize");
static_assert(offsetof(fileInfo, filesize) == 16, "fileInfo.filesize");
static_assert(offsetof(fileInfo, timestamp) == 20, "fileInfo.timestamp");
static_assert(offsetof(fileInfo, path) == 24, "fileInfo.path");
static_assert(offsetof(fileInfo, filename) == 224, "fileInfo.filename");
static_assert(offsetof(fileInfo, crc) == 424, "fileInfo.crc");
static_assert(sizeof(fileInfoW) == 828, "fileInfoW size");
static_assert(offsetof(fileInfoW, position) == 8, "fileInfoW.position");
static_assert(offsetof(fileInfoW, compsize) == 12, "fileInfoW.compsize");
static_assert(offsetof(fileInfoW, filesize) == 16, "fileInfoW.filesize");
static_assert(offsetof(fileInfoW, timestamp) == 20, "fileInfoW.timestamp");
static_assert(offsetof(fileInfoW, path) == 24, "fileInfoW.path");
static_assert(offsetof(fileInfoW, filename) == 424, "fileInfoW.filename");
static_assert(offsetof(fileInfoW, crc) == 824, "fileInfoW.crc");
#endif
static_assert(offsetof(fileInfo, method) == 0 && offsetof(fileInfoW, method) == 0, "method");

// Inside, a member is always described by its wide record.
typedef fileInfoW MemberRecord;

// What the archive entry points return.
enum ResultCode : int {
    kNotServed = -1,     // input from memory, or a member missing from a fresh listing
    kOk = 0,
    kAborted = 1,        // the host's progress callback asked to stop
    kUnknownFormat = 2,  // not an archive we serve, or a member missing from a cached table
    kNoMemory = 4,
    kReadError = 6,      // the archive (or a member's bytes) cannot be read
    kWriteError = 9,     // the output file cannot be created
};

// The request flag bits of the archive entry points.
const uint32_t kInputKindMask = 7;     // 0: a file on disk; anything else is memory input
const uint32_t kMemoryOutput = 0x100;  // GetFile: deliver a local-memory block

inline bool is_table_end(const MemberRecord& r) { return r.method[0] == 0; }
inline bool is_table_end(const fileInfo& r) { return r.method[0] == 0; }

// The bytes of a table of count records and its terminator; false when
// that does not fit a size_t (in a 32-bit build, from some five million
// members on), so no block is ever sized by a product that wrapped.
inline bool table_bytes(size_t count, size_t record_size, size_t& bytes) {
    if (count >= SIZE_MAX / record_size) return false;
    bytes = (count + 1) * record_size;
    return true;
}

// Records up to (not counting) the terminator.
template <class Record>
size_t table_count(const Record* table) {
    size_t n = 0;
    while (!is_table_end(table[n])) ++n;
    return n;
}
