#include <gtest/gtest.h>

#include <cstring>

#include "core/platform.h"
#include "core/records.h"
#include "core/text.h"

namespace {

MemberRecord member(uintptr_t position, uintptr_t size, const wchar_t* name) {
    MemberRecord r = {};
    memcpy(r.method, "7\0z\0\0\0\0\0", 8);
    r.position = position;
    r.compsize = size;
    r.filesize = size;
    r.timestamp = -5;
    copy_bounded(r.filename, kFieldChars, name);
    return r;
}

}  // namespace

TEST(Records, AnsiRecordCarriesSevenNotSevenZ) {
    MemberRecord in = member(3, 1234, L"photo.png");
    in.crc = 77;
    fileInfo out;
    memset(&out, 0xCC, sizeof out);
    convert_record(in, out);
    EXPECT_EQ(0, memcmp(out.method, "7\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(3u, out.position);
    EXPECT_EQ(1234u, out.compsize);
    EXPECT_EQ(1234u, out.filesize);
    EXPECT_EQ(-5, out.timestamp);  // sign-extended in the 64-bit build
    EXPECT_STREQ("", out.path);
    EXPECT_STREQ("photo.png", out.filename);
    EXPECT_EQ(0u, out.crc);
#if UINTPTR_MAX > 0xFFFFFFFFu
    EXPECT_EQ(0, memcmp(out.padding, "\0\0\0\0", 4));
#endif
}

TEST(Records, TableConversionKeepsOrderAndEndsWithZeroRecord) {
    MemberRecord table[4] = {member(0, 1, L"a.jpg"), member(1, 2, L"b.jpg"), member(2, 3, L"c.jpg"), {}};
    fileInfo* ansi = convert_table(table);
    ASSERT_NE(ansi, nullptr);
    ASSERT_EQ(3u, table_count(ansi));
    EXPECT_STREQ("c.jpg", ansi[2].filename);
    EXPECT_EQ(2u, ansi[2].position);
    static const fileInfo zero = {};
    EXPECT_EQ(0, memcmp(&ansi[3], &zero, sizeof zero));
    platform::free_block(ansi);
    // An empty table: the terminator alone.
    MemberRecord empty[1] = {};
    ansi = convert_table(empty);
    ASSERT_NE(ansi, nullptr);
    EXPECT_EQ(0u, table_count(ansi));
    platform::free_block(ansi);
}

TEST(Records, TableSizesThatWouldWrapAreRefused) {
    size_t bytes = 0;
    ASSERT_TRUE(table_bytes(2, sizeof(MemberRecord), bytes));
    EXPECT_EQ(3 * sizeof(MemberRecord), bytes);
    size_t most = SIZE_MAX / sizeof(MemberRecord) - 1;
    ASSERT_TRUE(table_bytes(most, sizeof(MemberRecord), bytes));
    EXPECT_EQ((most + 1) * sizeof(MemberRecord), bytes);
    EXPECT_FALSE(table_bytes(most + 1, sizeof(MemberRecord), bytes));
    EXPECT_FALSE(table_bytes(SIZE_MAX, sizeof(fileInfo), bytes));
}
