#include "driver/secret.h"

#include <windows.h>

void wipe(void* memory, size_t bytes) { SecureZeroMemory(memory, bytes); }

Secret::~Secret() { wipe(text_, sizeof text_); }

bool Secret::assign(const wchar16* text, size_t length) {
    wipe(text_, sizeof text_);
    length_ = 0;
    if (length == 0 || length >= kChars) return false;
    for (size_t i = 0; i < length; ++i) text_[i] = text[i];
    length_ = length;
    return true;
}

bool Secret::same_as(const Secret& other) const {
    if (length_ != other.length_) return false;
    for (size_t i = 0; i < length_; ++i)
        if (text_[i] != other.text_[i]) return false;
    return true;
}

size_t Secret::line(char* out, size_t capacity) const {
    if (capacity < 2) return 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, text_, static_cast<int>(length_), out, static_cast<int>(capacity - 2),
                                nullptr, nullptr);
    if (n <= 0) return 0;
    out[n] = '\r';
    out[n + 1] = '\n';
    return static_cast<size_t>(n) + 2;
}
