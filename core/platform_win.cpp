#include <windows.h>

#include <new>

#include "core/platform.h"

namespace platform {

void* alloc_block(size_t bytes) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes); }

void free_block(void* block) {
    if (block) LocalFree(block);
}

int compare_ordinal_nocase(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len) {
    return CompareStringOrdinal(a, static_cast<int>(a_len), b, static_cast<int>(b_len), TRUE) - CSTR_EQUAL;
}

void lower_case(wchar16* text) { CharLowerW(text); }

wchar16 upper_unit(wchar16 c) {
    // A value below 0x10000 is taken as one character, not as an address.
    return static_cast<wchar16>(reinterpret_cast<UINT_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(UINT_PTR(c)))));
}

wchar16 upper_ordinal(wchar16 c) {
    // CompareStringOrdinal upper-cases each unit through this function of
    // the system's; asking for it by name keeps it out of our imports.
    typedef WCHAR(WINAPI * Upcase)(WCHAR);
    static const Upcase upcase = reinterpret_cast<Upcase>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));
    if (c < 0x80) return c >= 'a' && c <= 'z' ? static_cast<wchar16>(c - 'a' + 'A') : c;
    if (upcase) return upcase(c);
    wchar16 upper = upper_unit(c);
    return CompareStringOrdinal(&c, 1, &upper, 1, TRUE) == CSTR_EQUAL ? upper : c;
}

int ansi_to_wide(const char* src, int src_len, wchar16* dst, int dst_cap) {
    if (src_len == 0) return 0;
    return MultiByteToWideChar(CP_ACP, 0, src, src_len, dst, dst_cap);
}

int wide_to_ansi(const wchar16* src, int src_len, char* dst, int dst_cap) {
    if (src_len == 0) return 0;
    // No best fit: it would turn a name into another ("caf\u00E9" into "cafe",
    // U+2215 into '/'), which the host could not ask for again. What the code
    // page lacks becomes '_', so a name stays a file name. Code pages that
    // take no such flags (UTF-8 among them) hold every character anyway.
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, src, src_len, dst, dst_cap, "_", nullptr);
    if (n == 0 && (GetLastError() == ERROR_INVALID_FLAGS || GetLastError() == ERROR_INVALID_PARAMETER))
        n = WideCharToMultiByte(CP_ACP, 0, src, src_len, dst, dst_cap, nullptr, nullptr);
    return n;
}

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section fits the lock");

Lock::Lock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
Lock::~Lock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

}  // namespace platform
