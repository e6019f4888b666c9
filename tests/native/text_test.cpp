// The text rules with the native seam, whose "ANSI" is Latin-1: one byte a
// character, '_' for every character above U+00FF.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/platform.h"
#include "core/text.h"

namespace {

const std::u16string kGrin = u"\U0001F600";

TEST(Text, WideLength) {
    EXPECT_EQ(0u, wide_len(u""));
    EXPECT_EQ(3u, wide_len(u"a\U0001F600"));
}

TEST(Text, WideCopiesAreCutAndTerminated) {
    wchar16 out[6];
    std::u16string(6, u'#').copy(out, 6);
    EXPECT_EQ(5u, copy_bounded(out, 6, u"abcdefgh"));
    EXPECT_EQ(u"abcde", std::u16string(out));
    EXPECT_EQ(3u, copy_bounded(out, 6, u"abc"));
    EXPECT_EQ(u"abc", std::u16string(out));
    EXPECT_EQ(5u, copy_bounded(out, 6, u"abcde"));  // exactly fits
    EXPECT_EQ(2u, copy_bounded(out, 6, u"abcdef", 2));
    EXPECT_EQ(u"ab", std::u16string(out));
    EXPECT_EQ(0u, copy_bounded(out, 1, u"abc"));
    EXPECT_EQ(0, out[0]);
    wchar16 untouched[1] = {u'x'};
    EXPECT_EQ(0u, copy_bounded(untouched, 0, u"abc"));
    EXPECT_EQ(u'x', untouched[0]);
}

TEST(Text, WideCopiesKeepPairsWhole) {
    wchar16 out[6];
    std::u16string pair_at_cut = u"abcd" + kGrin;  // the pair would take units 4 and 5
    EXPECT_EQ(4u, copy_bounded(out, 6, pair_at_cut.c_str()));
    EXPECT_EQ(u"abcd", std::u16string(out));
    std::u16string pair_inside = u"abc" + kGrin + u"z";
    EXPECT_EQ(5u, copy_bounded(out, 6, pair_inside.c_str()));
    EXPECT_EQ(u"abc" + kGrin, std::u16string(out));
}

TEST(Text, ByteCopiesAreCutAndTerminated) {
    char out[4];
    memset(out, '#', sizeof out);
    EXPECT_EQ(3u, copy_bounded(out, sizeof out, "abcdef"));
    EXPECT_STREQ("abc", out);
    EXPECT_EQ(2u, copy_bounded(out, sizeof out, "ab"));
    EXPECT_STREQ("ab", out);
    EXPECT_EQ(0u, copy_bounded(out, 1, "ab"));
    EXPECT_STREQ("", out);
    out[0] = 'x';
    EXPECT_EQ(0u, copy_bounded(out, 0, "ab"));
    EXPECT_EQ('x', out[0]);
}

TEST(Text, AnsiToWide) {
    wchar16 out[kPathChars];
    EXPECT_TRUE(to_wide("caf\xE9 \x80\xFF", out, kPathChars));
    EXPECT_EQ(u"caf\u00E9 \u0080\u00FF", std::u16string(out));
    EXPECT_TRUE(to_wide("", out, kPathChars));
    EXPECT_EQ(u"", std::u16string(out));
    EXPECT_TRUE(to_wide(std::string(259, 'a').c_str(), out, kPathChars));
    EXPECT_EQ(259u, wide_len(out));
}

TEST(Text, AnsiToWideCutsWhatDoesNotFit) {
    wchar16 out[kPathChars + 4];
    std::u16string(kPathChars + 4, u'#').copy(out, kPathChars + 4);
    EXPECT_FALSE(to_wide(std::string(300, '\xE9').c_str(), out, kPathChars));
    EXPECT_EQ(std::u16string(kPathChars - 1, u'\u00E9'), std::u16string(out));
    EXPECT_EQ(u'#', out[kPathChars]);  // nothing written past the buffer
    EXPECT_FALSE(to_wide(std::string(260, 'a').c_str(), out, kPathChars));
    EXPECT_EQ(kPathChars - 1, wide_len(out));
    wchar16 untouched[1] = {u'x'};
    EXPECT_FALSE(to_wide("a", untouched, 0));
    EXPECT_EQ(u'x', untouched[0]);
}

TEST(Text, WideToAnsi) {
    char out[kFieldChars];
    EXPECT_TRUE(to_ansi(u"caf\u00E9", out, sizeof out));
    EXPECT_STREQ("caf\xE9", out);
    // Unconvertible characters still convert, as '_': one for a whole pair.
    EXPECT_TRUE(to_ansi((u"\u65E5\u672C" + kGrin + u".jpg").c_str(), out, sizeof out));
    EXPECT_STREQ("___.jpg", out);
    EXPECT_TRUE(to_ansi(u"", out, sizeof out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0u, ansi_length(u""));
    EXPECT_EQ(4u, ansi_length(u"caf\u00E9"));
    EXPECT_EQ(3u, ansi_length((u"\u65E5" + kGrin + u"x").c_str()));
}

TEST(Text, WideToAnsiKeepsTheLongestPrefixThatFits) {
    char field[kFieldChars + 8];
    memset(field, '#', sizeof field);
    std::u16string name(250, u'\u00E9');
    EXPECT_FALSE(to_ansi(name.c_str(), field, kFieldChars));
    EXPECT_EQ(std::string(kFieldChars - 1, '\xE9'), std::string(field));
    EXPECT_EQ('#', field[kFieldChars]);
    // 199 units convert whole; a pair after them is dropped whole.
    std::u16string exact(kFieldChars - 1, u'a');
    EXPECT_TRUE(to_ansi(exact.c_str(), field, kFieldChars));
    EXPECT_FALSE(to_ansi((exact + kGrin).c_str(), field, kFieldChars));
    EXPECT_EQ(std::string(kFieldChars - 1, 'a'), std::string(field));
    // A pair that fits as its one '_' is kept.
    std::u16string before(kFieldChars - 2, u'a');
    EXPECT_FALSE(to_ansi((before + kGrin + u"b").c_str(), field, kFieldChars));
    EXPECT_EQ(std::string(kFieldChars - 2, 'a') + "_", std::string(field));
    char one[1] = {'x'};
    EXPECT_FALSE(to_ansi(u"a", one, 1));
    EXPECT_EQ(0, one[0]);
    EXPECT_TRUE(to_ansi(u"", one, 1));
    EXPECT_FALSE(to_ansi(u"a", one, 0));
}

MemberRecord sample_record() {
    MemberRecord in{};
    const unsigned char method[8] = {'7', 0, 'z', 0, 0, 0, 0, 0};
    memcpy(in.method, method, 8);
    in.position = 3;
    in.compsize = 1000;
    in.filesize = 2000;
    in.timestamp = -5;
    copy_bounded(in.path, kFieldChars, u"dir\\");
    copy_bounded(in.filename, kFieldChars, (u"caf\u00E9" + kGrin + u".jpg").c_str());
    in.crc = 0x12345678;
    return in;
}

TEST(Text, ConvertRecord) {
    MemberRecord in = sample_record();
    fileInfo out;
    memset(&out, 0xAB, sizeof out);
    convert_record(in, out);
    // The method is a byte string: nothing after its first zero is kept.
    const unsigned char method[8] = {'7', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(method, out.method, 8));
    EXPECT_EQ(3u, out.position);
    EXPECT_EQ(1000u, out.compsize);
    EXPECT_EQ(2000u, out.filesize);
    EXPECT_EQ(-5, out.timestamp);
    EXPECT_STREQ("dir\\", out.path);
    EXPECT_STREQ("caf\xE9_.jpg", out.filename);
    EXPECT_EQ(0u, out.crc);
    EXPECT_EQ(0, out.path[kFieldChars - 1]);  // the rest of each field is zero
}

TEST(Text, ConvertRecordCutsLongNames) {
    MemberRecord in = sample_record();
    copy_bounded(in.filename, kFieldChars, std::u16string(kFieldChars - 1, u'\u00E9').c_str());
    fileInfo out;
    convert_record(in, out);
    EXPECT_EQ(std::string(kFieldChars - 1, '\xE9'), std::string(out.filename));
}

TEST(Text, ConvertTable) {
    MemberRecord table[3] = {sample_record(), sample_record(), MemberRecord{}};
    table[1].position = 4;
    fileInfo* out = convert_table(table);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(2u, table_count(out));
    EXPECT_EQ(4u, out[1].position);
    EXPECT_STREQ("caf\xE9_.jpg", out[1].filename);
    fileInfo zero{};
    EXPECT_EQ(0, memcmp(&zero, &out[2], sizeof zero));  // the terminator
    platform::free_block(out);

    MemberRecord empty[1] = {MemberRecord{}};
    out = convert_table(empty);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0u, table_count(out));
    platform::free_block(out);
}

}  // namespace
