// The listing scan through GetArchiveInfoW, on captures the stand-in prints
// exactly as a test dictates.
#include <gtest/gtest.h>

#include "support/test_host.h"

TEST(Scan, ABlockWithoutItsSizeTakesTheNextBlocksSize) {
    DictatedArchive s("Path = first.png\r\nFolder = -\r\n\r\n" + listing_block("lost.png", "7") + listing_block("third.png", "9"));
    Plugin p(s.ini());
    std::vector<fileInfoW> r = s.list(p);
    ASSERT_EQ(2u, r.size());
    EXPECT_STREQ(L"first.png", r[0].filename);
    EXPECT_EQ(7u, r[0].filesize);
    EXPECT_STREQ(L"third.png", r[1].filename);
    EXPECT_EQ(1u, r[1].position);
}

TEST(Scan, SizesAsTheListingWritesThem) {
    DictatedArchive s(listing_block("neg.png", "-5") + listing_block("huge.png", "3000000000") + listing_block("limit.png", "2147483647") +
               listing_block("blank.png", "  12") + listing_block("zero.png", "0") + listing_block("junk.png", "abc") +
               listing_block("UPPER.png", "4"));
    s.set_output("l", read_bytes(join(s.dir, L"out-l.txt")) + "PATH = shout.png\r\nSIZE = 6\r\n");
    Plugin p(s.ini(L"maxMB=4096\r\n"));
    std::vector<fileInfoW> r = s.list(p);
    // Negative and out-of-range sizes never enter a record.
    ASSERT_EQ(3u, r.size());
    EXPECT_STREQ(L"blank.png", r[0].filename);
    EXPECT_EQ(12u, r[0].filesize);
    EXPECT_STREQ(L"UPPER.png", r[1].filename);
    EXPECT_STREQ(L"shout.png", r[2].filename);  // heads match without regard to case
}

TEST(Scan, LongLinesAreCutNeverOverrun) {
    std::string deep = "d\\" + std::string(300, 'x') + ".png";
    std::wstring two_hundred(203, L'y');
    std::string long_name = utf8(two_hundred) + ".png";
    DictatedArchive s(listing_block(deep, "5") + listing_block(long_name, "6") + listing_block("after.png", "7"));
    Plugin p(s.ini());
    std::vector<fileInfoW> r = s.list(p);
    ASSERT_EQ(3u, r.size());
    // The path arrives cut to 251 characters; the record keeps 199 of its name.
    EXPECT_EQ(std::wstring(199, L'x'), r[0].filename);
    EXPECT_EQ(std::wstring(199, L'y'), r[1].filename);
    EXPECT_STREQ(L"after.png", r[2].filename);
    // The ANSI table is cut the same way, within its field.
    LocalBlock ansi;
    ASSERT_EQ(0, p.GetArchiveInfo(utf8(s.archive).c_str(), 0, 0, &ansi.h));
    std::vector<fileInfo> a = ansi_records_of(ansi.h);
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(std::string(199, 'x'), a[0].filename);
    // The name the host got back finds its member; the uncut one, longer
    // than any record holds, names none.
    fileInfoW info = {};
    EXPECT_EQ(0, p.GetFileInfoW(s.archive.c_str(), 0, r[1].filename, 0, &info));
    EXPECT_EQ(6u, info.filesize);
    EXPECT_EQ(-1, p.GetFileInfoW(s.archive.c_str(), 0, (two_hundred + L".png").c_str(), 0, &info));
}

TEST(Scan, OutputThatIsNoListingGivesAnEmptyTable) {
    for (const std::string& out : {std::string(), std::string(5000, '\0'), std::string("garbage\r\n\x01\xFF\xFE") +
                                                                              std::string(100000, 'z'),
                                   std::string("Path = never sized.png\r\n")}) {
        DictatedArchive s(out);
        Plugin p(s.ini());
        EXPECT_TRUE(s.list(p).empty());
    }
}

TEST(Scan, AnArchiverThatDiesMidListingGivesNoTable) {
    // Half a listing is no answer: a table cut short would stand for the
    // archive until it changes.
    std::string listing;
    for (int i = 0; i < 200; ++i) listing += listing_block("m" + std::to_string(i) + ".png", "10");
    DictatedArchive s(listing);
    write_bytes(join(s.dir, L"crash-l.txt"), "");
    Plugin p(s.ini());
    EXPECT_EQ(6, listing_code(p, s.archive));
    expect_work_area_empty();
}

TEST(Scan, AHundredThousandMembers) {
    std::string listing;
    listing.reserve(100000 * 80);
    for (int i = 0; i < 100000; ++i)
        listing += listing_block("folder\\page" + std::to_string(i) + ".jpg", std::to_string(i % 1000 + 1));
    DictatedArchive s(listing);
    Plugin p(s.ini());
    std::vector<fileInfoW> r = s.list(p);
    ASSERT_EQ(100000u, r.size());
    EXPECT_STREQ(L"page99999.jpg", r[99999].filename);
    EXPECT_EQ(99999u, r[99999].position);
    EXPECT_EQ(1000u, r[99999].filesize);
}
