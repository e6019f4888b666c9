#include <gtest/gtest.h>

#include <string>

#include "driver/paths.h"

namespace {

// Each path answers `want`; a failure names the path.
void expect_contained(bool want, std::initializer_list<const char16_t*> paths) {
    for (const char16_t* p : paths) EXPECT_EQ(want, is_contained_path(p)) << testing::PrintToString(std::u16string(p));
}

void expect_plain(bool want, std::initializer_list<const char16_t*> names) {
    for (const char16_t* n : names) EXPECT_EQ(want, is_plain_file_name(n)) << testing::PrintToString(std::u16string(n));
}

TEST(Paths, RelativePathsInsideTheFolderAreContained) {
    expect_contained(true, {u"a.jpg", u"dir\\a.jpg", u"dir/sub/a.jpg", u".hidden", u"a..b\\..c", u"dir\\...x",
                            u"\u5199\u771F\\\U0001F600.png"});
}

TEST(Paths, RootsDrivesAndStreamsAreNot) {
    expect_contained(false, {u"", u"\\a", u"/a", u"\\\\server\\share\\a", u"\\\\?\\C:\\a", u"C:a", u"C:\\a",
                             u"a.jpg:stream", u"dir\\a:b"});
}

TEST(Paths, ElementsOfOnlyDotsAndSpacesAreNotButALoneDotIs) {
    // ".\\photos\\sun.png" as tar lists "./photos/sun.png"; Windows reads ".. " as "..".
    expect_contained(true, {u".\\photos\\sun.png", u"a\\.\\b.png"});
    expect_contained(false, {u"..", u".", u"..\\a", u"a\\..\\..\\b", u"a/../b", u"a\\..", u"a\\. \\b", u"a\\.",
                             u".. \\a", u" ..\\a", u"a\\ \\b", u"...."});
}

TEST(Paths, ElementsNamingADeviceAreNot) {
    expect_contained(false, {u"CON", u"dir\\CON", u"dir/nul.jpg", u"com1\\a.jpg", u"aux.tar\\a.jpg",
                             u"a\\LPT\u00B9 .txt"});
    expect_contained(true, {u"console\\a.jpg", u"dir\\COM10", u"x.con\\a.jpg"});
}

TEST(Paths, PlainFileNames) {
    // The last eight only start like a device.
    expect_plain(true, {u"a.jpg", u"a..b", u".hidden", u"\U0001F600", u"console.txt", u"CON1", u"COM10", u"COMx", u"LPT",
                        u"CONIN", u"NULL.txt", u"x.CON"});
}

TEST(Paths, EmptyDotsSeparatorsAndStreamsAreNotPlainNames) {
    expect_plain(false, {u"", u".", u"..", u". .", u"  ", u"a\\b", u"a/b", u"a:b"});
}

TEST(Paths, DeviceNamesWhateverTheExtension) {
    expect_plain(false, {u"CON", u"con", u"Prn", u"AUX", u"nul", u"CONIN$", u"conout$", u"COM0", u"COM1", u"com9",
                         u"LPT1", u"lpt0", u"COM\u00B9", u"LPT\u00B2", u"COM\u00B3", u"Con.txt", u"NUL.tar.gz", u"nul ",
                         u"CON .txt", u"CON.", u"com1.jpg", u"LPT\u00B3.x"});
}

// Each listed path and where 7-Zip writes it ("" when it writes another
// name, or the file system could take the name for another file's).
TEST(Paths, WrittenAsListed) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"a.png", u"a.png"}, {u"d/sub\\a.png", u"d\\sub\\a.png"}, {u".\\photos\\sun.png", u"photos\\sun.png"},
        {u"a\\.\\b.png", u"a\\b.png"}, {u" lead.png", u" lead.png"}, {u"\U0001F600.png", u"\U0001F600.png"},
        {u"a.png.", u""}, {u"c.png ", u""}, {u"dir.\\x.png", u""}, {u"dir \\x.png", u""}, {u"a:b.png", u""},
        {u"con.png", u""}, {u"d\\COM1", u""}, {u"LONGNA~1.PNG", u""}, {u"DIR~1\\x.png", u""}, {u"a\\\\b.png", u""},
        {u".", u""}, {u"..\\a.png", u""}, {u"\xD800.png", u""}, {u"x\xDC00.png", u""}, {u"", u""},
    };
    for (const auto& c : cases) {
        WideString written;
        bool ok = written_as_listed(c.first, written);
        EXPECT_EQ(c.second[0] != 0, ok) << testing::PrintToString(std::u16string(c.first));
        if (ok) EXPECT_EQ(std::u16string(c.second), written);
    }
    // No element longer than a file name may be.
    for (size_t n : {254, 255, 256}) {
        WideString written;
        const std::u16string name = u"d\\" + std::u16string(n - 4, u'x') + u".png";
        EXPECT_EQ(n <= 255, written_as_listed(name.c_str(), written)) << n;
    }
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
    EXPECT_TRUE(brings(u".\\a.png", u"a.png"));
    EXPECT_TRUE(brings(u"d\\.\\sub", u"D/sub/1.png"));
    EXPECT_FALSE(brings(u"a\\.", u"a"));
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
