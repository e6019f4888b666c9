// Reads captured archiver output as pieces of text, the way a wide line
// reader in text mode would: CR LF becomes LF, and each piece holds at most
// 259 characters and ends after its line feed when the line fits. The bytes
// are decoded as UTF-8 here, never through the process-wide C locale, which
// belongs to the host.
#pragma once

#include <cstddef>

#include "core/records.h"

class PieceReader {
public:
    // Fills buffer with up to capacity bytes; 0 at the end of the input.
    typedef size_t (*Source)(void* context, char* buffer, size_t capacity);

    PieceReader(Source source, void* context) : source_(source), context_(context) {}
    PieceReader(const PieceReader&) = delete;
    PieceReader& operator=(const PieceReader&) = delete;

    // The next piece, terminated; false at the end of the input.
    bool next(wchar16 (&piece)[kPathChars], size_t& length);

private:
    bool fill();
    // One UTF-16 unit, or -1 at the end of the input.
    long next_unit();
    long peek_unit();

    Source source_;
    void* context_;
    char buffer_[1 << 14];
    size_t pos_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    wchar16 pending_[2] = {0, 0};  // decoded units not yet handed out
    int pending_count_ = 0;
};

// A source over bytes already in memory.
struct MemorySource {
    const char* data;
    size_t size;
    static size_t read(void* context, char* buffer, size_t capacity);
};
