// The few platform services the portable core needs. The plug-in binds them
// to Win32 (platform_win.cpp); the native build binds them to the C library,
// so the scanner, the record conversion and the cache can run under
// sanitizers and a fuzzer.
#pragma once

#include <cstddef>

#include "core/records.h"

namespace platform {

// A zero-filled fixed block the host can release with LocalFree.
void* alloc_block(size_t bytes);
void free_block(void* block);

// Ordered as the file system orders names (CompareStringOrdinal ignoring
// case): below, equal or above 0. Never linguistic: a character without
// weight, such as a soft hyphen, still tells two names apart.
int compare_ordinal_nocase(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len);
// CharLowerW, in place.
void lower_case(wchar16* text);
// One unit upper-cased on its own, as 7-Zip matches names (CharUpperW).
wchar16 upper_unit(wchar16 c);
// One unit upper-cased as the file system compares names: the mapping
// CompareStringOrdinal applies to each unit when it ignores case.
wchar16 upper_ordinal(wchar16 c);

// The system's ANSI code page, the one ANSI hosts name their files in, both
// ways. Lengths exclude any terminator;
// with a capacity of 0 the answer is the length the conversion needs.
int ansi_to_wide(const char* src, int src_len, wchar16* dst, int dst_cap);
int wide_to_ansi(const wchar16* src, int src_len, char* dst, int dst_cap);

// A critical section.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void enter();
    void leave();

private:
    alignas(void*) unsigned char storage_[64];
};

class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.enter(); }
    ~LockGuard() { lock_.leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

// Owns one block from alloc_block until it is released or handed on.
class OwnedBlock {
public:
    OwnedBlock() = default;
    explicit OwnedBlock(void* block) : block_(block) {}
    ~OwnedBlock() { free_block(block_); }
    OwnedBlock(OwnedBlock&& other) noexcept : block_(other.release()) {}
    OwnedBlock& operator=(OwnedBlock&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    void* get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    void* release() {
        void* b = block_;
        block_ = nullptr;
        return b;
    }
    void reset(void* block = nullptr) {
        if (block_ != block) free_block(block_);
        block_ = block;
    }

private:
    void* block_ = nullptr;
};

}  // namespace platform
