#include <windows.h>

#include <new>

#include "core/platform.h"

namespace platform {

void* alloc_block(size_t bytes) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes); }

void free_block(void* block) {
    if (block) LocalFree(block);
}

int compare_nocase(const wchar16* a, const wchar16* b) { return lstrcmpiW(a, b); }

void lower_case(wchar16* text) { CharLowerW(text); }

int ansi_to_wide(const char* src, int src_len, wchar16* dst, int dst_cap) {
    if (src_len == 0) return 0;
    return MultiByteToWideChar(CP_THREAD_ACP, 0, src, src_len, dst, dst_cap);
}

int wide_to_ansi(const wchar16* src, int src_len, char* dst, int dst_cap) {
    if (src_len == 0) return 0;
    return WideCharToMultiByte(CP_THREAD_ACP, 0, src, src_len, dst, dst_cap, nullptr, nullptr);
}

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section fits the lock");

Lock::Lock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
Lock::~Lock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

}  // namespace platform
