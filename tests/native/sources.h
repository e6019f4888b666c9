// Hands a PieceReader bytes from memory in reads of at most `chunk` bytes,
// the way a pipe or a file may deliver them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/capture.h"

struct ChunkSource {
    const char* data;
    size_t size;
    size_t chunk;

    static size_t read(void* context, char* buffer, size_t capacity) {
        auto* src = static_cast<ChunkSource*>(context);
        size_t n = src->size;
        if (n > src->chunk) n = src->chunk;
        if (n > capacity) n = capacity;
        memcpy(buffer, src->data, n);
        src->data += n;
        src->size -= n;
        return n;
    }
};

// Every piece of the input, read `chunk` bytes at a time.
inline std::vector<std::u16string> read_pieces(const std::string& bytes, size_t chunk = SIZE_MAX) {
    ChunkSource source{bytes.data(), bytes.size(), chunk};
    PieceReader reader(ChunkSource::read, &source);
    std::vector<std::u16string> pieces;
    wchar16 piece[kPathChars];
    size_t length;
    while (reader.next(piece, length)) pieces.emplace_back(piece, length);
    return pieces;
}
