#include <gtest/gtest.h>

#include <string>

#include "tables/handed.h"

namespace {

TableKey key(uint64_t version) {
    TableKey k;
    k.file.index = 42;
    k.file.written = 5000 + version;
    k.exe = u"C:\\7-Zip\\7z.exe";
    return k;
}

std::u16string archive(int i) { return u"C:\\a\\" + std::u16string(1, char16_t(0x100 + i)) + u".zip"; }

TEST(Handed, PositionsHoldOnlyForTheTableHandedOut) {
    HandedTables handed;
    EXPECT_TRUE(handed.current(u"x.zip", key(1)));  // nothing handed: nothing to vouch against
    handed.handed(u"C:\\Books\\x.zip", key(0));
    EXPECT_TRUE(handed.current(u"c:/BOOKS\\X.ZIP", key(0)));
    EXPECT_FALSE(handed.current(u"C:\\Books\\x.zip", key(1)));
    EXPECT_FALSE(handed.current(u"C:\\Books\\x.zip", key(1)));  // until another table is handed out
    handed.handed(u"C:\\Books\\x.zip", key(1));
    EXPECT_TRUE(handed.current(u"C:\\Books\\x.zip", key(1)));
}

TEST(Handed, TheArchiveUsedLongestAgoMakesRoom) {
    HandedTables handed;
    for (int i = 0; i < kHandedArchives; ++i) handed.handed(archive(i).c_str(), key(0));
    EXPECT_FALSE(handed.current(archive(0).c_str(), key(1)));  // a use keeps it
    handed.handed(archive(kHandedArchives).c_str(), key(0));
    EXPECT_TRUE(handed.current(archive(1).c_str(), key(1)));  // forgotten
    for (int i : {0, 2, kHandedArchives - 1, kHandedArchives})
        EXPECT_FALSE(handed.current(archive(i).c_str(), key(1))) << i;
    handed.clear();
    EXPECT_TRUE(handed.current(archive(0).c_str(), key(1)));
}

}  // namespace
