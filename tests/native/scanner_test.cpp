#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/platform.h"
#include "driver/scanner.h"
#include "sources.h"

namespace {

typedef std::vector<std::pair<std::u16string, int32_t>> Members;

Members scan(const std::string& listing) {
    MemorySource source{listing.data(), listing.size()};
    PieceReader reader(MemorySource::read, &source);
    Members members;
    scan_members(reader, [&](const ScannedMember& m) {
        EXPECT_EQ(m.path_len, std::u16string(m.path).size());
        members.emplace_back(m.path, m.size);
        return true;
    });
    return members;
}

size_t count(const std::string& listing, int32_t threshold) {
    MemorySource source{listing.data(), listing.size()};
    PieceReader reader(MemorySource::read, &source);
    return count_members(reader, threshold);
}

// The table as the plug-in builds it: counted, allocated with a terminator, filled.
struct Table {
    platform::OwnedBlock block;
    size_t filled = 0;
    const MemberRecord& operator[](size_t i) const { return static_cast<const MemberRecord*>(block.get())[i]; }
};

Table build(const std::string& listing, int32_t threshold, int32_t timestamp, size_t capacity = SIZE_MAX) {
    Table t;
    size_t n = count(listing, threshold);
    if (capacity > n) capacity = n;
    t.block.reset(platform::alloc_block((n + 1) * sizeof(MemberRecord)));
    MemorySource source{listing.data(), listing.size()};
    PieceReader reader(MemorySource::read, &source);
    t.filled = fill_members(reader, threshold, timestamp, static_cast<MemberRecord*>(t.block.get()), capacity);
    return t;
}

std::string block(const std::string& path, const std::string& size) {
    return "Path = " + path + "\nSize = " + size + "\nPacked Size = 3\nModified = 2024-01-02 03:04:05\n\n";
}

const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600

TEST(Scanner, PairsEachPathWithTheFirstSizeAfterIt) {
    std::string listing =
        "Path = a.txt\nFolder = -\nSize = 10\nPacked Size = 5\nCRC = 0A1B2C3D\n\n"
        "Path = dir\\b.jpg\nSize = 20\n\n";
    EXPECT_EQ((Members{{u"a.txt", 10}, {u"dir\\b.jpg", 20}}), scan(listing));
    // The same listing as a Windows program writes it.
    std::string crlf;
    for (char c : listing) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(scan(listing), scan(crlf));
}

TEST(Scanner, HeadsAreMatchedWithoutRegardToCase) {
    EXPECT_EQ((Members{{u"x", 5}}), scan("PATH = x\nsize = 5\n"));
    EXPECT_EQ((Members{{u"y", 6}}), scan("pAtH = y\nSiZe = 6\n"));
    EXPECT_EQ((Members{}), scan("Path: x\nSize: 5\n"));
    EXPECT_EQ((Members{}), scan(" Path = x\nSize = 5\n"));
}

TEST(Scanner, OnlyPiecesLongerThanTheHeadHaveOne) {
    // "Size = " alone at the end of the input is 7 units: no size, no member.
    EXPECT_EQ((Members{}), scan("Path = a\nSize = "));
    EXPECT_EQ((Members{}), scan("Path = "));
    // With its line feed the empty value counts.
    EXPECT_EQ((Members{{u"", 3}}), scan("Path = \nSize = 3\n"));
    EXPECT_EQ((Members{{u"a", 0}}), scan("Path = a\nSize = \n"));
    EXPECT_TRUE(is_head(u"Size = 1", 8, "Size = "));
    EXPECT_FALSE(is_head(u"Size = ", 7, "Size = "));
}

TEST(Scanner, PackedSizeIsNotASize) {
    EXPECT_EQ((Members{{u"a", 9}}), scan("Path = a\nPacked Size = 7\nSize = 9\n"));
}

TEST(Scanner, ABlockWithoutASizeTakesTheNextOneAndLosesThatPath) {
    std::string listing = "Path = a\nAttributes = D\n\n" + block("b", "4") + block("c", "6");
    EXPECT_EQ((Members{{u"a", 4}, {u"c", 6}}), scan(listing));
    // A trailing block without a size is dropped.
    EXPECT_EQ((Members{{u"c", 6}}), scan(block("c", "6") + "Path = d\n"));
}

TEST(Scanner, APathIsReadWhole) {
    auto path_of = [](const std::string& path) {
        Members m = scan(block(path, "1"));
        return m.empty() ? std::u16string(u"(none)") : m[0].first;
    };
    for (size_t n : {250, 251, 252, 30000}) EXPECT_TRUE(std::u16string(n, u'p') == path_of(std::string(n, 'p'))) << n;
    // A pair that straddles the reader's pieces comes back whole.
    std::string full = std::string(245, 'd') + "\\abcd" + kGrin + "\\end";
    EXPECT_EQ(u"" + std::u16string(245, u'd') + u"\\abcd\U0001F600\\end", path_of(full));
    // What a command line cannot name is not kept, but keeps the scan in step.
    std::string listing = block(std::string(kMaxMemberPath, 'k'), "1") + block(std::string(kMaxMemberPath + 1, 'l'), "1") +
                          block("after", "2");
    EXPECT_EQ(2u, count(listing, 100));
    Table t = build(listing, 100, 0);
    EXPECT_EQ(u"after", std::u16string(t[1].filename));
}

TEST(Scanner, TheRestOfALongLineIsNeverAHead) {
    std::string listing = "Path = " + std::string(252, 'q') + "Size = 77\nSize = 5\n";
    EXPECT_EQ((Members{{std::u16string(252, u'q') + u"Size = 77", 5}}), scan(listing));
    // A long value of another line cannot smuggle a member in.
    listing = block("a", "1") + "Comment = " + std::string(300, 'c') + "Path = evil\nSize = 9\n";
    EXPECT_EQ((Members{{u"a", 1}}), scan(listing));
}

TEST(Scanner, FoldersAndLinksAreNotKept) {
    auto kept = [](const std::string& facts) {
        return count("Path = m\nFolder = -\nSize = 255\n" + facts + "\n", 1000) == 1;
    };
    EXPECT_TRUE(kept("Symbolic Link = \nHard Link = \nAttributes = A"));
    EXPECT_TRUE(kept("Attributes = A -rw-r--r--"));
    EXPECT_FALSE(kept("Symbolic Link = target.png"));
    EXPECT_FALSE(kept("Hard Link = other.png"));
    EXPECT_FALSE(kept("Attributes =  lrwxrwxrwx"));  // a rar 4 link: no link property, a Unix mode
    EXPECT_FALSE(count("Path = d\nFolder = +\nSize = 255\n", 1000));
    // The facts of one block do not spill into the next.
    EXPECT_EQ(1u, count("Path = l\nSize = 5\nSymbolic Link = x\n\n" + block("f", "5"), 1000));
}

TEST(Scanner, TheCrcAndWhatKindItIs) {
    auto check = [](const std::string& facts, uint32_t& crc) {
        std::string listing = "Path = m\nSize = 5\n" + facts + "\n";
        MemorySource source{listing.data(), listing.size()};
        PieceReader reader(MemorySource::read, &source);
        CrcKind kind = CrcKind::kNone;
        scan_members(reader, [&](const ScannedMember& m) {
            kind = m.crc_kind;
            crc = m.crc;
            return true;
        });
        return kind;
    };
    uint32_t crc = 0;
    EXPECT_EQ(CrcKind::kCrc32, check("CRC = 0A1B2C3D\nMethod = Deflate", crc));
    EXPECT_EQ(0x0A1B2C3Du, crc);
    // LHA's method names, before or after the CRC: 16 bits, printed in eight digits.
    EXPECT_EQ(CrcKind::kCrc16, check("CRC = 0000A33A\nMethod = -lh7-", crc));
    EXPECT_EQ(0xA33Au, crc);
    EXPECT_EQ(CrcKind::kCrc16, check("Method = -lh0-\r\nCRC = 00004819\r", crc));
    EXPECT_EQ(CrcKind::kCrc32, check("CRC = 00004819\nMethod = -lh5-x", crc));
    EXPECT_EQ(CrcKind::kNone, check("Method = -lh5-", crc));
    EXPECT_EQ(CrcKind::kNone, check("CRC = 4819", crc));
}

TEST(Scanner, AVisitorCanStopTheScan) {
    std::string listing = block("a", "1") + block("b", "2") + block("c", "3");
    MemorySource source{listing.data(), listing.size()};
    PieceReader reader(MemorySource::read, &source);
    int seen = 0;
    scan_members(reader, [&](const ScannedMember&) { return ++seen < 2; });
    EXPECT_EQ(2, seen);
}

TEST(Scanner, SizesReadLikeAtoiButSaturate) {
    const std::pair<const char16_t*, int32_t> cases[] = {
        {u"10\n", 10}, {u" \t\v\f\r\n42", 42}, {u"+7", 7}, {u"-5", -5}, {u"12abc", 12}, {u"12 34", 12}, {u"0x10", 0},
        {u"abc", 0}, {u"", 0}, {u"+-3", 0}, {u"- 3", 0},
        {u"\uFF11\uFF12", 0},  // full-width digits are not digits
        {u"\u00A03", 0},       // nor is a no-break space a blank
        {u"2147483647", INT32_MAX}, {u"2147483648", INT32_MAX}, {u"4294967296", INT32_MAX},
        {u"99999999999999999999999999", INT32_MAX}, {u"-2147483647", INT32_MIN + 1}, {u"-2147483648", INT32_MIN},
        {u"-99999999999999999999999999", INT32_MIN}, {u"0000000000000000000000000123", 123}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, parse_size(c.first)) << testing::PrintToString(std::u16string(c.first));
}

TEST(Scanner, WhichMembersQualify) {
    // Size, threshold, kept: exactly at the threshold yes; folders, empty
    // files and a size that may have saturated no.
    const int32_t cases[][3] = {{1, 1, 1}, {10, 10, 1}, {11, 10, 0}, {0, 10, 0}, {-1, 10, 0}, {INT32_MIN, INT32_MAX, 0},
                                {5, 0, 0}, {5, -1, 0}, {INT32_MAX - 1, INT32_MAX, 1}, {INT32_MAX, INT32_MAX, 0}};
    for (const auto& c : cases) EXPECT_EQ(c[2] != 0, qualifies(c[0], c[1])) << c[0] << " of " << c[1];
}

TEST(Scanner, FileNameIsTheTextAfterTheLastBackslash) {
    EXPECT_EQ(u"c.jpg", std::u16string(file_name_of(u"a\\b\\c.jpg")));
    EXPECT_EQ(u"c.jpg", std::u16string(file_name_of(u"c.jpg")));
    EXPECT_EQ(u"", std::u16string(file_name_of(u"dir\\")));
    EXPECT_EQ(u"a/b", std::u16string(file_name_of(u"a/b")));
}

TEST(Scanner, UnixTimeFromFiletimeClamps) {
    const uint64_t kEpoch = 116444736000000000ULL;
    const uint64_t kSecond = 10000000ULL;
    const std::pair<uint64_t, int32_t> cases[] = {
        {kEpoch, 0}, {kEpoch + kSecond, 1}, {kEpoch + 1700000000ULL * kSecond + kSecond / 2, 1700000000},
        {kEpoch + uint64_t(INT32_MAX) * kSecond, INT32_MAX}, {kEpoch - 86400 * kSecond, -86400}, {0, INT32_MIN},
        {kEpoch + uint64_t(INT32_MAX) * kSecond + kSecond, INT32_MAX}, {uint64_t(INT64_MAX), INT32_MAX},
        {uint64_t(INT64_MAX) + 1, INT32_MAX}, {UINT64_MAX, INT32_MAX}};
    for (const auto& c : cases) EXPECT_EQ(c.second, unix_time_from_filetime(c.first)) << c.first;
}

TEST(Scanner, OnlyQualifyingMembersTakePositions) {
    std::string listing = block("a\\one.jpg", "5") + block("a", "0") + block("big.png", "20") +
                          block("edge.gif", "10") + block("neg", "-3") + block("x\\y\\seven.bmp", "7");
    EXPECT_EQ(3u, count(listing, 10));
    Table t = build(listing, 10, 1234567);
    ASSERT_EQ(3u, t.filled);
    const char16_t* names[] = {u"one.jpg", u"edge.gif", u"seven.bmp"};
    const char16_t* folders[] = {u"a\\", u"", u"x\\y\\"};
    const uintptr_t sizes[] = {5, 10, 7};
    const unsigned char method[8] = {'7', 0, 'z', 0, 0, 0, 0, 0};
    for (size_t i = 0; i < 3; ++i) {
        const MemberRecord& r = t[i];
        EXPECT_EQ(0, memcmp(method, r.method, 8)) << i;
        EXPECT_EQ(i, r.position);
        EXPECT_EQ(sizes[i], r.filesize);
        EXPECT_EQ(sizes[i], r.compsize);
        EXPECT_EQ(1234567, r.timestamp);
        EXPECT_EQ(folders[i], std::u16string(r.path));
        EXPECT_EQ(names[i], std::u16string(r.filename));
        EXPECT_EQ(0u, r.crc);
    }
    EXPECT_TRUE(is_table_end(t[3]));
    EXPECT_EQ(3u, table_count(&t[0]));
    // A larger threshold keeps the bigger member; none is kept with 0.
    EXPECT_EQ(4u, count(listing, 20));
    EXPECT_EQ(0u, count(listing, 0));
}

TEST(Scanner, FillingStopsAtTheCapacity) {
    std::string listing = block("a", "1") + block("b", "2") + block("c", "3");
    Table t = build(listing, 100, 0, 2);
    EXPECT_EQ(2u, t.filled);
    EXPECT_EQ(u"b", std::u16string(t[1].filename));
    EXPECT_TRUE(is_table_end(t[2]));
}

TEST(Scanner, FileNamesAreCutTo199UnitsAndKeepPairsWhole) {
    Table t = build(block("dir\\" + std::string(220, 'n'), "1"), 100, 0);
    ASSERT_EQ(1u, t.filled);
    EXPECT_EQ(std::u16string(199, u'n'), std::u16string(t[0].filename));
    // A pair at units 198-199 does not fit: the name ends before it.
    t = build(block(std::string(198, 'n') + kGrin + "tail", "1"), 100, 0);
    ASSERT_EQ(1u, t.filled);
    EXPECT_EQ(std::u16string(198, u'n'), std::u16string(t[0].filename));
    t = build(block(std::string(197, 'n') + kGrin + "tail", "1"), 100, 0);
    EXPECT_EQ(std::u16string(197, u'n') + u"\U0001F600", std::u16string(t[0].filename));
}

}  // namespace
