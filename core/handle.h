// One owner for kernel handles. The invalid value is part of the type:
// files answer INVALID_HANDLE_VALUE, processes and threads answer NULL.
#pragma once

#include <windows.h>

struct NullHandleTraits {
    static HANDLE invalid() { return nullptr; }
};
struct FileHandleTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};

template <class Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != Traits::invalid(); }
    HANDLE release() {
        HANDLE h = h_;
        h_ = Traits::invalid();
        return h;
    }
    void reset(HANDLE h = Traits::invalid()) {
        if (valid() && h_ != h) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = Traits::invalid();
};

typedef UniqueHandle<FileHandleTraits> FileHandle;
typedef UniqueHandle<NullHandleTraits> KernelHandle;
