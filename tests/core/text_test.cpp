#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "core/text.h"

TEST(Text, BoundedCopyTerminatesAndNeverSplitsASurrogatePair) {
    wchar16 out[5];
    wmemset(out, L'#', 5);
    EXPECT_EQ(4u, copy_bounded(out, 5, L"abcdefgh"));
    EXPECT_STREQ(L"abcd", out);
    // U+1F600 as a pair at units 3-4: it cannot fit whole, so it is left out.
    EXPECT_EQ(3u, copy_bounded(out, 5, L"abc\xD83D\xDE00"));
    EXPECT_STREQ(L"abc", out);
    EXPECT_EQ(0u, copy_bounded(out, 1, L"abc"));
    EXPECT_STREQ(L"", out);
    wchar16 untouched[2] = {L'x', L'y'};
    EXPECT_EQ(0u, copy_bounded(untouched, 0, L"abc"));
    EXPECT_EQ(L'x', untouched[0]);
}

TEST(Text, ByteCopyIsBounded) {
    char out[4];
    EXPECT_EQ(3u, copy_bounded(out, sizeof out, "abcdef"));
    EXPECT_STREQ("abc", out);
}

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
