#include "driver/capture.h"

#include <cstring>

namespace {

const wchar16 kReplacement = 0xFFFD;

}  // namespace

size_t MemorySource::read(void* context, char* buffer, size_t capacity) {
    auto* src = static_cast<MemorySource*>(context);
    size_t n = src->size < capacity ? src->size : capacity;
    memcpy(buffer, src->data, n);
    src->data += n;
    src->size -= n;
    return n;
}

bool PieceReader::fill() {
    if (eof_) return false;
    // Keep an incomplete sequence at the end of the buffer for the next round.
    size_t keep = end_ - pos_;
    memmove(buffer_, buffer_ + pos_, keep);
    pos_ = 0;
    end_ = keep;
    size_t got = source_(context_, buffer_ + end_, sizeof buffer_ - end_);
    if (got == 0) eof_ = true;
    end_ += got;
    return got != 0;
}

// Decodes one code point into pending_. Malformed input gives U+FFFD for
// each maximal invalid subpart, as MultiByteToWideChar does; an encoded
// surrogate gives that unit.
long PieceReader::next_unit() {
    if (pending_count_ > 0) {
        wchar16 u = pending_[0];
        pending_[0] = pending_[1];
        --pending_count_;
        return u;
    }
    // A source may hand out a character's bytes over several reads.
    while (end_ - pos_ < 4 && fill()) continue;
    if (pos_ >= end_) return -1;

    const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer_) + pos_;
    size_t avail = end_ - pos_;
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        ++pos_;
        return b0;
    }
    int need;
    unsigned long cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        // ED A0-BF: a lone surrogate, which 7-Zip writes as three bytes
        // when a name holds one. It is taken back as that unit, so the name
        // handed back to 7-Zip is the member's own.
        if (b0 == 0xE0) lo = 0xA0;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        ++pos_;
        return kReplacement;
    }
    size_t used = 1;
    for (int i = 0; i < need; ++i) {
        if (used >= avail || p[used] < lo || p[used] > hi) {
            pos_ += used;
            return kReplacement;
        }
        cp = (cp << 6) | (p[used] & 0x3F);
        ++used;
        lo = 0x80;
        hi = 0xBF;
    }
    pos_ += used;
    if (cp < 0x10000) return static_cast<long>(cp);
    cp -= 0x10000;
    pending_[0] = static_cast<wchar16>(0xDC00 + (cp & 0x3FF));
    pending_count_ = 1;
    return 0xD800 + static_cast<long>(cp >> 10);
}

long PieceReader::peek_unit() {
    long u = next_unit();
    if (u < 0) return u;
    // Put it back in front of whatever is pending.
    if (pending_count_ == 1) pending_[1] = pending_[0];
    pending_[0] = static_cast<wchar16>(u);
    ++pending_count_;
    return u;
}

bool PieceReader::next(wchar16 (&piece)[kPathChars], size_t& length) {
    length = 0;
    while (length < kPathChars - 1) {
        // ASCII, nearly all of a listing, decodes to itself: copy it from the
        // buffer without a call per character. A CR is looked at here only
        // when the byte after it is in the buffer too. Locals, so the loop
        // keeps them in registers.
        if (pending_count_ == 0) {
            size_t pos = pos_, end = end_, n = length;
            bool line_end = false;
            while (pos < end && n < kPathChars - 1) {
                unsigned char c = static_cast<unsigned char>(buffer_[pos]);
                if (c >= 0x80 || (c == '\r' && pos + 1 == end)) break;
                ++pos;
                if (c == '\r' && buffer_[pos] == '\n') continue;
                piece[n++] = c;
                if (c == '\n') {
                    line_end = true;
                    break;
                }
            }
            pos_ = pos;
            length = n;
            if (line_end || n == kPathChars - 1) break;
        }
        long u = next_unit();
        if (u < 0) break;
        if (u == '\r' && peek_unit() == '\n') continue;  // text mode: CR LF is LF
        // Keep a surrogate pair together: end the piece early rather than split it.
        if (u >= 0xD800 && u <= 0xDBFF && length == kPathChars - 2 && pending_count_ > 0) {
            pending_[1] = pending_[0];
            pending_[0] = static_cast<wchar16>(u);
            ++pending_count_;
            break;
        }
        piece[length++] = static_cast<wchar16>(u);
        if (u == '\n') break;
    }
    piece[length] = 0;
    return length > 0;
}
