#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(Handed, TheArchiveUsedLongestAgoMakesRoomAndNoneUnvouchedIsServedSince) {
    HandedTables handed;
    for (int i = 0; i < kHandedArchives; ++i) handed.handed(archive(i).c_str(), key(0));
    EXPECT_TRUE(handed.current(u"never.zip", key(0)));  // nothing forgotten yet
    EXPECT_FALSE(handed.current(archive(0).c_str(), key(1)));  // a use keeps it
    handed.handed(archive(kHandedArchives).c_str(), key(0));
    // Forgotten, and so refused, whatever its key: as is one never handed.
    EXPECT_FALSE(handed.current(archive(1).c_str(), key(0)));
    EXPECT_FALSE(handed.current(u"never.zip", key(0)));
    for (int i : {0, 2, kHandedArchives - 1, kHandedArchives})
        EXPECT_FALSE(handed.current(archive(i).c_str(), key(1))) << i;
    EXPECT_TRUE(handed.current(archive(2).c_str(), key(0)));
    handed.handed(archive(1).c_str(), key(0));
    EXPECT_TRUE(handed.current(archive(1).c_str(), key(0)));
    handed.clear();
    EXPECT_TRUE(handed.current(archive(0).c_str(), key(1)));
}

std::vector<unsigned char> saved(HandedTables& handed) {
    std::vector<unsigned char> record(HandedTables::kRecordBytes);
    handed.save(record.data());
    return record;
}

TEST(Handed, TheRecordComesBackWhole) {
    HandedTables handed;
    handed.handed(u"C:\\x.zip", key(0));
    handed.handed(u"C:\\y.zip", key(1));
    std::vector<unsigned char> record = saved(handed);
    HandedTables next;
    next.restore(record.data(), false);
    EXPECT_TRUE(next.current(u"c:\\X.ZIP", key(0)));
    EXPECT_FALSE(next.current(u"C:\\x.zip", key(1)));
    EXPECT_TRUE(next.current(u"C:\\y.zip", key(1)));
    EXPECT_TRUE(next.current(u"C:\\z.zip", key(0)));  // never handed, nothing forgotten
    // A block just made holds nothing to vouch against.
    HandedTables first;
    std::vector<unsigned char> zero(HandedTables::kRecordBytes);
    first.restore(zero.data(), true);
    EXPECT_TRUE(first.current(u"C:\\x.zip", key(1)));
}

TEST(Handed, ARecordNotWholeVouchesForNothing) {
    HandedTables handed;
    handed.handed(u"C:\\x.zip", key(0));
    const std::vector<unsigned char> good = saved(handed);
    std::vector<std::vector<unsigned char>> bad;
    for (size_t at : {size_t(0), size_t(9), size_t(17), good.size() / 2, good.size() - 1}) {
        bad.push_back(good);
        bad.back()[at] ^= 0x40;
    }
    bad.push_back(std::vector<unsigned char>(good.size()));  // emptied, but the block was not new
    for (const std::vector<unsigned char>& record : bad) {
        HandedTables next;
        next.restore(record.data(), false);
        EXPECT_FALSE(next.current(u"C:\\x.zip", key(0)));
        EXPECT_FALSE(next.current(u"C:\\z.zip", key(0)));
        next.handed(u"C:\\x.zip", key(1));  // listed again: served again
        EXPECT_TRUE(next.current(u"C:\\x.zip", key(1)));
    }
    HandedTables none;
    none.distrust();
    EXPECT_FALSE(none.current(u"C:\\x.zip", key(0)));
}

}  // namespace
