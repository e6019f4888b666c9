#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "core/text.h"

TEST(Text, AnsiCutKeepsWholeCharacters) {
    // 200 'e' with acute accent: each is one byte in code page 1252 and two in
    // UTF-8; either way the field gets whole characters and a terminator.
    std::wstring name(250, L'\x00E9');
    char field[kFieldChars + 8];
    memset(field, '#', sizeof field);
    EXPECT_FALSE(to_ansi(name.c_str(), field, kFieldChars));
    size_t len = strlen(field);
    EXPECT_LT(len, kFieldChars);
    EXPECT_EQ('#', field[kFieldChars]);  // nothing written past the field
    wchar16 back[kPathChars];
    EXPECT_TRUE(to_wide(field, back, kPathChars));
    for (size_t i = 0; back[i]; ++i) EXPECT_EQ(L'\x00E9', back[i]) << i;
}

TEST(Text, WideConversionRefusesWhatDoesNotFit) {
    std::string long_path(300, 'a');
    wchar16 out[kPathChars];
    EXPECT_FALSE(to_wide(long_path.c_str(), out, kPathChars));
    EXPECT_EQ(kPathChars - 1, wide_len(out));
    EXPECT_TRUE(to_wide("C:\\x.zip", out, kPathChars));
    EXPECT_STREQ(L"C:\\x.zip", out);
    EXPECT_TRUE(to_wide("", out, kPathChars));
    EXPECT_STREQ(L"", out);
}
