#include <gtest/gtest.h>

#include <string>

#include "driver/paths.h"

namespace {

TEST(Paths, RelativePathsInsideTheFolderAreContained) {
    EXPECT_TRUE(is_contained_path(u"a.jpg"));
    EXPECT_TRUE(is_contained_path(u"dir\\a.jpg"));
    EXPECT_TRUE(is_contained_path(u"dir/sub/a.jpg"));
    EXPECT_TRUE(is_contained_path(u".hidden"));
    EXPECT_TRUE(is_contained_path(u"a..b\\..c"));
    EXPECT_TRUE(is_contained_path(u"dir\\...x"));
    EXPECT_TRUE(is_contained_path(u"\u5199\u771F\\\U0001F600.png"));
}

TEST(Paths, RootsDrivesAndStreamsAreNot) {
    EXPECT_FALSE(is_contained_path(u""));
    EXPECT_FALSE(is_contained_path(u"\\a"));
    EXPECT_FALSE(is_contained_path(u"/a"));
    EXPECT_FALSE(is_contained_path(u"\\\\server\\share\\a"));
    EXPECT_FALSE(is_contained_path(u"\\\\?\\C:\\a"));
    EXPECT_FALSE(is_contained_path(u"C:a"));
    EXPECT_FALSE(is_contained_path(u"C:\\a"));
    EXPECT_FALSE(is_contained_path(u"a.jpg:stream"));
    EXPECT_FALSE(is_contained_path(u"dir\\a:b"));
}

TEST(Paths, ElementsOfOnlyDotsAndSpacesAreNotButALoneDotIs) {
    EXPECT_FALSE(is_contained_path(u".."));
    EXPECT_FALSE(is_contained_path(u"."));
    EXPECT_TRUE(is_contained_path(u".\\photos\\sun.png"));  // as tar lists "./photos/sun.png"
    EXPECT_TRUE(is_contained_path(u"a\\.\\b.png"));
    EXPECT_FALSE(is_contained_path(u"..\\a"));
    EXPECT_FALSE(is_contained_path(u"a\\..\\..\\b"));
    EXPECT_FALSE(is_contained_path(u"a/../b"));
    EXPECT_FALSE(is_contained_path(u"a\\.."));
    EXPECT_FALSE(is_contained_path(u"a\\. \\b"));
    EXPECT_FALSE(is_contained_path(u"a\\."));
    EXPECT_FALSE(is_contained_path(u".. \\a"));  // Windows reads ".. " as ".."
    EXPECT_FALSE(is_contained_path(u" ..\\a"));
    EXPECT_FALSE(is_contained_path(u"a\\ \\b"));
    EXPECT_FALSE(is_contained_path(u"...."));
}

TEST(Paths, ElementsNamingADeviceAreNot) {
    EXPECT_FALSE(is_contained_path(u"CON"));
    EXPECT_FALSE(is_contained_path(u"dir\\CON"));
    EXPECT_FALSE(is_contained_path(u"dir/nul.jpg"));
    EXPECT_FALSE(is_contained_path(u"com1\\a.jpg"));
    EXPECT_FALSE(is_contained_path(u"aux.tar\\a.jpg"));
    EXPECT_FALSE(is_contained_path(u"a\\LPT\u00B9 .txt"));
    EXPECT_TRUE(is_contained_path(u"console\\a.jpg"));
    EXPECT_TRUE(is_contained_path(u"dir\\COM10"));
    EXPECT_TRUE(is_contained_path(u"x.con\\a.jpg"));
}

TEST(Paths, PlainFileNames) {
    EXPECT_TRUE(is_plain_file_name(u"a.jpg"));
    EXPECT_TRUE(is_plain_file_name(u"a..b"));
    EXPECT_TRUE(is_plain_file_name(u".hidden"));
    EXPECT_TRUE(is_plain_file_name(u"\U0001F600"));
    // Names that only start like a device.
    EXPECT_TRUE(is_plain_file_name(u"console.txt"));
    EXPECT_TRUE(is_plain_file_name(u"CON1"));
    EXPECT_TRUE(is_plain_file_name(u"COM10"));
    EXPECT_TRUE(is_plain_file_name(u"COMx"));
    EXPECT_TRUE(is_plain_file_name(u"LPT"));
    EXPECT_TRUE(is_plain_file_name(u"CONIN"));
    EXPECT_TRUE(is_plain_file_name(u"NULL.txt"));
    EXPECT_TRUE(is_plain_file_name(u"x.CON"));
}

TEST(Paths, EmptyDotsSeparatorsAndStreamsAreNotPlainNames) {
    EXPECT_FALSE(is_plain_file_name(u""));
    EXPECT_FALSE(is_plain_file_name(u"."));
    EXPECT_FALSE(is_plain_file_name(u".."));
    EXPECT_FALSE(is_plain_file_name(u". ."));
    EXPECT_FALSE(is_plain_file_name(u"  "));
    EXPECT_FALSE(is_plain_file_name(u"a\\b"));
    EXPECT_FALSE(is_plain_file_name(u"a/b"));
    EXPECT_FALSE(is_plain_file_name(u"a:b"));
}

TEST(Paths, DeviceNamesWhateverTheExtension) {
    for (const char16_t* name : {u"CON", u"con", u"Prn", u"AUX", u"nul", u"CONIN$", u"conout$", u"COM0",
                                 u"COM1", u"com9", u"LPT1", u"lpt0", u"COM\u00B9", u"LPT\u00B2", u"COM\u00B3"}) {
        EXPECT_FALSE(is_plain_file_name(name)) << testing::PrintToString(name);
    }
    EXPECT_FALSE(is_plain_file_name(u"Con.txt"));
    EXPECT_FALSE(is_plain_file_name(u"NUL.tar.gz"));
    EXPECT_FALSE(is_plain_file_name(u"nul "));
    EXPECT_FALSE(is_plain_file_name(u"CON .txt"));
    EXPECT_FALSE(is_plain_file_name(u"CON."));
    EXPECT_FALSE(is_plain_file_name(u"com1.jpg"));
    EXPECT_FALSE(is_plain_file_name(u"LPT\u00B3.x"));
}

bool brings(const std::u16string& member, const std::u16string& other) {
    return brings_out(member.data(), member.size(), other.data(), other.size());
}

TEST(Paths, WhatAnExtractionOfOnePathAlsoBringsOut) {
    EXPECT_TRUE(brings(u"a.png", u"a.png"));
    EXPECT_TRUE(brings(u"a.png", u"A.PNG"));
    EXPECT_TRUE(brings(u"d\\a.png", u"D/A.png"));
    EXPECT_TRUE(brings(u"pics", u"pics\\1.png"));  // a member named like a folder
    EXPECT_TRUE(brings(u"pics", u"PICS/sub/2.png"));
    EXPECT_FALSE(brings(u"pics", u"pics2\\1.png"));
    EXPECT_FALSE(brings(u"pics\\1.png", u"pics"));
    EXPECT_FALSE(brings(u"a.png", u"sub\\a.png"));
    EXPECT_FALSE(brings(u"a.png", u"a.png "));
    // Either rule suffices: here 7-Zip's alone joins the pair.
    EXPECT_TRUE(brings(u"\u0280.png", u"\u01A6.png"));
    EXPECT_NE(0, compare_paths_ordinal(u"\u0280", 1, u"\u01A6", 1));
    EXPECT_EQ(0, compare_paths_7zip(u"\u0280", 1, u"\u01A6", 1));
    EXPECT_LT(compare_paths_7zip(u"a", 1, u"B", 1), 0);
    EXPECT_LT(compare_paths_ordinal(u"ab", 2, u"abc", 3), 0);
}

TEST(Paths, LongPathsTakeTheExtendedForm) {
    std::u16string dir = u"C:\\" + std::u16string(255, u'd');
    EXPECT_EQ(dir, extended_path(dir));
    EXPECT_EQ(u"\\\\?\\" + dir + u"\\x", extended_path(dir + u"\\x"));
    std::u16string unc = u"\\\\server\\share\\" + std::u16string(250, u'u');
    EXPECT_EQ(u"\\\\?\\UNC\\server\\share\\" + std::u16string(250, u'u'), extended_path(unc));
    EXPECT_EQ(u"\\\\?\\" + dir + u"\\x", extended_path(u"\\\\?\\" + dir + u"\\x"));
}

}  // namespace
