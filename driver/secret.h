// A password as the user typed it: held in memory only, never copied about,
// wiped when dropped.
#pragma once

#include <cstddef>

#include "core/text.h"

class Secret {
public:
    // The longest password held, in UTF-16 units; 7-Zip takes no longer.
    static const size_t kChars = 256;

    Secret() = default;
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    // False (and nothing held) for an empty or too long text.
    bool assign(const wchar16* text, size_t length);
    bool same_as(const Secret& other) const;
    // The line 7-Zip reads it from: UTF-8 ending in CR LF. Its length, 0
    // when it does not fit; whatever holds it is wiped with wipe().
    size_t line(char* out, size_t capacity) const;

private:
    wchar16 text_[kChars] = {};
    size_t length_ = 0;
};

// Zeroes memory in a way the compiler cannot leave out.
void wipe(void* memory, size_t bytes);
