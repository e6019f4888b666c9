#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "tables/cache.h"

namespace {

const int kMissing = kUnknownFormat;

// A table block as the listing builds it: named members at positions 0, 1, ...
platform::OwnedBlock make_table(const std::vector<std::u16string>& names, uintptr_t size = 100) {
    platform::OwnedBlock block(platform::alloc_block((names.size() + 1) * sizeof(MemberRecord)));
    auto* table = static_cast<MemberRecord*>(block.get());
    for (size_t i = 0; i < names.size(); ++i) {
        table[i].method[0] = '7';
        table[i].method[2] = 'z';
        table[i].position = i;
        table[i].filesize = table[i].compsize = size + i;
        copy_bounded(table[i].filename, kFieldChars, names[i].c_str());
    }
    return block;
}

MemberRecord by_name(const char16_t* name) {
    MemberRecord r{};
    copy_bounded(r.filename, kFieldChars, name);
    return r;
}

MemberRecord by_position(uintptr_t position) {
    MemberRecord r{};
    r.position = position;
    return r;
}

std::u16string archive(int i) { return u"C:\\a\\" + std::u16string(1, char16_t(u'A' + i)) + u".zip"; }

// Fetches one record of a cached archive: the result code and the record's size.
int fetch(ArchiveTableCache& cache, const std::u16string& path, MemberRecord request, uintptr_t* size = nullptr) {
    int rc = cache.lookup(path.c_str(), nullptr, &request, NameForm::kWide, kMissing);
    if (size) *size = request.filesize;
    return rc;
}

TEST(Cache, StoringServesTheRequestAtOnce) {
    ArchiveTableCache cache;
    MemberRecord request = by_name(u"B.JPG");
    EXPECT_EQ(kOk, cache.store(u"x.zip", make_table({u"a.jpg", u"b.jpg"}), nullptr, &request, NameForm::kWide, kMissing));
    EXPECT_EQ(u"b.jpg", std::u16string(request.filename));
    EXPECT_EQ(1u, request.position);
    EXPECT_EQ(101u, request.filesize);
    EXPECT_EQ('7', request.method[0]);

    MemberRecord absent = by_name(u"c.jpg");
    EXPECT_EQ(kMissing, cache.store(u"y.zip", make_table({u"a.jpg"}), nullptr, &absent, NameForm::kWide, kMissing));
    EXPECT_EQ(u"c.jpg", std::u16string(absent.filename));  // left as it was
}

TEST(Cache, ACopyIsASeparateBlockEqualToTheTable) {
    ArchiveTableCache cache;
    platform::OwnedBlock table = make_table({u"a.jpg", u"b.jpg", u"c.jpg"});
    std::vector<unsigned char> expected(static_cast<unsigned char*>(table.get()),
                                        static_cast<unsigned char*>(table.get()) + 4 * sizeof(MemberRecord));
    void* stored = table.get();
    void* copy = nullptr;
    EXPECT_EQ(kOk, cache.store(u"x.zip", std::move(table), &copy, nullptr, NameForm::kWide, kMissing));
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(stored, copy);
    EXPECT_EQ(0, memcmp(expected.data(), copy, expected.size()));
    platform::free_block(copy);

    copy = nullptr;
    EXPECT_EQ(kOk, cache.lookup(u"X.ZIP", &copy, nullptr, NameForm::kWide, kMissing));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(0, memcmp(expected.data(), copy, expected.size()));
    EXPECT_EQ(3u, table_count(static_cast<MemberRecord*>(copy)));
    platform::free_block(copy);
}

TEST(Cache, AnArchiveNotStoredIsNotServed) {
    ArchiveTableCache cache;
    MemberRecord request = by_name(u"a.jpg");
    EXPECT_EQ(kNotServed, cache.lookup(u"x.zip", nullptr, &request, NameForm::kWide, kMissing));
    cache.store(u"x.zip", make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    EXPECT_EQ(kNotServed, fetch(cache, u"y.zip", by_name(u"a.jpg")));
    EXPECT_EQ(kNotServed, fetch(cache, u"x.zi", by_name(u"a.jpg")));
}

TEST(Cache, PathsMatchWithoutRegardToCase) {
    ArchiveTableCache cache;
    MemberRecord request = by_position(0);
    cache.store(u"C:\\Photos\\\u00C9t\u00E9.zip", make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    EXPECT_EQ(kOk, fetch(cache, u"c:\\PHOTOS\\\u00E9T\u00C9.ZIP", by_position(0)));
}

TEST(Cache, TheNewerTableOfAnArchiveWins) {
    ArchiveTableCache cache;
    MemberRecord request = by_position(0);
    cache.store(u"x.zip", make_table({u"a.jpg"}, 100), nullptr, &request, NameForm::kWide, kMissing);
    cache.store(u"other.zip", make_table({u"a.jpg"}, 300), nullptr, &request, NameForm::kWide, kMissing);
    cache.store(u"X.zip", make_table({u"a.jpg"}, 200), nullptr, &request, NameForm::kWide, kMissing);
    uintptr_t size = 0;
    EXPECT_EQ(kOk, fetch(cache, u"x.zip", by_name(u"a.jpg"), &size));
    EXPECT_EQ(200u, size);
}

TEST(Cache, TheSeventeenthTableEvictsTheFirst) {
    ArchiveTableCache cache;
    MemberRecord request = by_position(0);
    platform::OwnedBlock first = make_table({u"a.jpg"});
    const void* first_block = first.get();
    cache.store(archive(0).c_str(), std::move(first), nullptr, &request, NameForm::kWide, kMissing);
    for (int i = 1; i < kCacheSlots; ++i)
        cache.store(archive(i).c_str(), make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    for (int i = 0; i < kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
    EXPECT_FALSE(__asan_address_is_poisoned(first_block));

    cache.store(archive(kCacheSlots).c_str(), make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    EXPECT_EQ(kNotServed, fetch(cache, archive(0), by_position(0)));
    EXPECT_TRUE(__asan_address_is_poisoned(first_block));  // released, not leaked
    for (int i = 1; i <= kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
}

TEST(Cache, ClearingForgetsEverythingAndStartsOver) {
    ArchiveTableCache cache;
    MemberRecord request = by_position(0);
    for (int i = 0; i < 5; ++i) cache.store(archive(i).c_str(), make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    cache.clear();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(kNotServed, fetch(cache, archive(i), by_position(0))) << i;

    // Sixteen new tables all fit; the seventeenth evicts the first of them.
    for (int i = 10; i < 10 + kCacheSlots; ++i)
        cache.store(archive(i).c_str(), make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    for (int i = 10; i < 10 + kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
    cache.store(archive(5).c_str(), make_table({u"a.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    EXPECT_EQ(kNotServed, fetch(cache, archive(10), by_position(0)));
    EXPECT_EQ(kOk, fetch(cache, archive(11), by_position(0)));
}

TEST(Cache, MissingMembersAnswerTheCallersCode) {
    ArchiveTableCache cache;
    MemberRecord request = by_position(0);
    cache.store(u"x.zip", make_table({u"a.jpg", u"b.jpg", u"c.jpg"}), nullptr, &request, NameForm::kWide, kMissing);
    EXPECT_EQ(kOk, fetch(cache, u"x.zip", by_position(2)));
    EXPECT_EQ(kMissing, fetch(cache, u"x.zip", by_position(3)));
    EXPECT_EQ(kMissing, fetch(cache, u"x.zip", by_name(u"d.jpg")));
    request = by_position(3);
    EXPECT_EQ(kNotServed, cache.lookup(u"x.zip", nullptr, &request, NameForm::kWide, kNotServed));
}

TEST(Cache, SelectRecordByNameOrPosition) {
    platform::OwnedBlock block = make_table({u"a.jpg", u"\u00C9T\u00C9.png", u"A.JPG"});
    auto* table = static_cast<const MemberRecord*>(block.get());
    EXPECT_EQ(&table[0], select_record(table, by_name(u"A.jpg"), NameForm::kWide));  // the first match
    EXPECT_EQ(&table[1], select_record(table, by_name(u"\u00E9t\u00E9.PNG"), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(table, by_name(u"a.jp"), NameForm::kWide));
    EXPECT_EQ(&table[2], select_record(table, by_position(2), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(table, by_position(3), NameForm::kWide));
    // A name, when given, decides; the position is not looked at.
    MemberRecord request = by_name(u"a.jpg");
    request.position = 2;
    EXPECT_EQ(&table[0], select_record(table, request, NameForm::kWide));
    // ANSI hosts name members as they were shown them: what the code page
    // lacks became '_', and that is the name they ask for.
    platform::OwnedBlock more = make_table({u"\u65E5.png", u"_.png"});
    auto* named = static_cast<const MemberRecord*>(more.get());
    EXPECT_EQ(&named[0], select_record(named, by_name(u"_.PNG"), NameForm::kAnsi));
    EXPECT_EQ(&named[1], select_record(named, by_name(u"_.png"), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(named, by_name(u"\u65E5.png"), NameForm::kAnsi));
}

TEST(Cache, ConcurrentCallersShareTheCache) {
    ArchiveTableCache cache;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 300; ++i) {
                std::u16string path = archive((t * 7 + i) % 24);
                MemberRecord request = by_name(u"b.jpg");
                if (i % 3 == 0) {
                    EXPECT_EQ(kOk, cache.store(path.c_str(), make_table({u"a.jpg", u"b.jpg"}), nullptr, &request,
                                               NameForm::kWide, kMissing));
                } else {
                    int rc = cache.lookup(path.c_str(), nullptr, &request, NameForm::kWide, kMissing);
                    EXPECT_TRUE(rc == kOk || rc == kNotServed) << rc;
                    if (rc == kOk) EXPECT_EQ(1u, request.position);
                }
                if (i % 100 == 99) cache.clear();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
