// The platform seam over the C library, for the native build of the portable
// core. Text rules are deliberately small: case folding covers ASCII and
// Latin-1 (U+00C0-U+00DE except U+00D7 fold to their small letters), and the
// "ANSI" code page is Latin-1, one byte per character, so every byte converts
// and every character above U+00FF (a surrogate pair counts as one) becomes
// '_'. That is enough to exercise the core's cutting and matching rules.
#include <pthread.h>

#include <cstdlib>
#include <new>

#include "core/platform.h"

namespace {

wchar16 fold(wchar16 c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<wchar16>(c + 0x20);
    return c;
}

bool is_high_surrogate(wchar16 c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(wchar16 c) { return c >= 0xDC00 && c <= 0xDFFF; }

pthread_mutex_t* mutex_in(unsigned char* storage) {
    return reinterpret_cast<pthread_mutex_t*>(storage);
}

}  // namespace

namespace platform {

void* alloc_block(size_t bytes) { return calloc(1, bytes); }

void free_block(void* block) { free(block); }

int compare_ordinal_nocase(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len) {
    for (size_t i = 0; i < a_len && i < b_len; ++i) {
        wchar16 x = upper_ordinal(a[i]), y = upper_ordinal(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a_len < b_len ? -1 : a_len > b_len ? 1 : 0;
}

void lower_case(wchar16* text) {
    for (; *text; ++text) *text = fold(*text);
}

// Upper case for ASCII and Latin-1, plus one pair the two Windows rules
// are known to treat apart (U+0280, whose capital is U+01A6), so the tests
// can tell them apart: only 7-Zip's rule here joins them.
wchar16 upper_unit(wchar16 c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<wchar16>(c - 0x20);
    return c == 0x280 ? 0x1A6 : c;
}

wchar16 upper_ordinal(wchar16 c) { return c == 0x280 ? c : upper_unit(c); }

// Like MultiByteToWideChar: the needed length with no buffer, 0 when the
// buffer is too small.
int ansi_to_wide(const char* src, int src_len, wchar16* dst, int dst_cap) {
    if (dst_cap == 0) return src_len;
    if (dst_cap < src_len) return 0;
    for (int i = 0; i < src_len; ++i) dst[i] = static_cast<unsigned char>(src[i]);
    return src_len;
}

int wide_to_ansi(const wchar16* src, int src_len, char* dst, int dst_cap) {
    int n = 0;
    for (int i = 0; i < src_len; ++i) {
        wchar16 c = src[i];
        if (i + 1 < src_len && is_high_surrogate(c) && is_low_surrogate(src[i + 1])) ++i;
        if (dst_cap != 0) {
            if (n == dst_cap) return 0;
            dst[n] = c <= 0xFF ? static_cast<char>(c) : '_';
        }
        ++n;
    }
    return n;
}

static_assert(sizeof(pthread_mutex_t) <= 64, "a mutex fits the lock");

Lock::Lock() { pthread_mutex_init(new (storage_) pthread_mutex_t, nullptr); }
Lock::~Lock() { pthread_mutex_destroy(mutex_in(storage_)); }
void Lock::enter() { pthread_mutex_lock(mutex_in(storage_)); }
void Lock::leave() { pthread_mutex_unlock(mutex_in(storage_)); }

}  // namespace platform
