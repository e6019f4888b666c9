#include <gtest/gtest.h>
// Built under ThreadSanitizer too, for the concurrency test, where ASan's
// view of what was released is not to be had.
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define RIZAZUR_RELEASED(p) __asan_address_is_poisoned(p)
#else
#define RIZAZUR_RELEASED(p) false
#endif

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "driver/scanner.h"
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
        const char16_t* name = file_name_of(names[i].c_str());
        fill_folder(table[i].path, names[i].c_str(), static_cast<size_t>(name - names[i].c_str()));
        copy_bounded(table[i].filename, kFieldChars, name);
    }
    return block;
}

// A listing of these paths, all kept.
Listing listing_of(const std::vector<std::u16string>& paths, uintptr_t size = 100) {
    Listing l;
    l.table = make_table(paths, size);
    for (const std::u16string& p : paths) l.paths.add(p.data(), p.size(), true);
    l.paths.finish();
    return l;
}

// The archive as it was (version 0) or after a change.
TableKey key(uint64_t version = 0) {
    TableKey k;
    k.file.volume = 7;
    k.file.index = 42;
    k.file.size = 1000;
    k.file.written = 5000 + version;
    k.exe = u"C:\\7-Zip\\7z.exe";
    k.threshold = 64 << 20;
    return k;
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

int store(ArchiveTableCache& cache, const std::u16string& path, Listing listing, MemberRecord request = by_position(0),
          const TableKey& k = key()) {
    return cache.store(path.c_str(), k, true, std::move(listing), nullptr, &request, NameForm::kWide, kMissing, nullptr);
}

// Fetches one record of a kept archive: the result code (kNotServed when
// none is held) and the record's size.
int fetch(ArchiveTableCache& cache, const std::u16string& path, MemberRecord request, uintptr_t* size = nullptr,
          const TableKey& k = key()) {
    Lookup l = cache.lookup(path.c_str(), k, true, nullptr, &request, NameForm::kWide, kMissing, nullptr);
    if (size) *size = request.filesize;
    return l.held ? l.result : kNotServed;
}

TEST(Cache, StoringServesTheRequestAtOnce) {
    ArchiveTableCache cache;
    MemberRecord request = by_name(u"B.JPG");
    MemberSource source;
    EXPECT_EQ(kOk, cache.store(u"x.zip", key(), true, listing_of({u"a.jpg", u"d\\b.jpg"}), nullptr, &request,
                               NameForm::kWide, kMissing, &source));
    EXPECT_EQ(u"b.jpg", std::u16string(request.filename));
    EXPECT_EQ(1u, request.position);
    EXPECT_EQ(101u, request.filesize);
    EXPECT_EQ('7', request.method[0]);
    // What the fetch needs: the full path, and that it can come out alone.
    EXPECT_EQ(u"d\\b.jpg", source.path);
    EXPECT_TRUE(source.alone);

    MemberRecord absent = by_name(u"c.jpg");
    EXPECT_EQ(kMissing, store(cache, u"y.zip", listing_of({u"a.jpg"}), absent));
}

TEST(Cache, ACopyIsASeparateBlockEqualToTheTable) {
    ArchiveTableCache cache;
    Listing listing = listing_of({u"a.jpg", u"b.jpg", u"c.jpg"});
    std::vector<unsigned char> expected(static_cast<unsigned char*>(listing.table.get()),
                                        static_cast<unsigned char*>(listing.table.get()) + 4 * sizeof(MemberRecord));
    void* stored = listing.table.get();
    void* copy = nullptr;
    EXPECT_EQ(kOk, cache.store(u"x.zip", key(), true, std::move(listing), &copy, nullptr, NameForm::kWide, kMissing, nullptr));
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(stored, copy);
    EXPECT_EQ(0, memcmp(expected.data(), copy, expected.size()));
    platform::free_block(copy);

    copy = nullptr;
    Lookup l = cache.lookup(u"X.ZIP", key(), true, &copy, nullptr, NameForm::kWide, kMissing, nullptr);
    EXPECT_TRUE(l.held);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(0, memcmp(expected.data(), copy, expected.size()));
    EXPECT_EQ(3u, table_count(static_cast<MemberRecord*>(copy)));
    platform::free_block(copy);
}

TEST(Cache, AnArchiveNotStoredIsNotServed) {
    ArchiveTableCache cache;
    EXPECT_EQ(kNotServed, fetch(cache, u"x.zip", by_name(u"a.jpg")));
    store(cache, u"x.zip", listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, u"y.zip", by_name(u"a.jpg")));
    EXPECT_EQ(kNotServed, fetch(cache, u"x.zi", by_name(u"a.jpg")));
}

TEST(Cache, PathsMatchAsTheFileSystemComparesNames) {
    ArchiveTableCache cache;
    store(cache, u"C:\\Photos\\\u00C9t\u00E9.zip", listing_of({u"a.jpg"}));
    EXPECT_EQ(kOk, fetch(cache, u"c:/PHOTOS\\\u00E9T\u00C9.ZIP", by_position(0)));
    // Small and final sigma are one letter to lstrcmpiW, two names to a disk.
    store(cache, u"\u03C3.zip", listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, u"\u03C2.zip", by_position(0)));
}

TEST(Cache, ANewTableOfAnArchiveReplacesTheOld) {
    ArchiveTableCache cache;
    store(cache, u"x.zip", listing_of({u"a.jpg"}, 100));
    store(cache, u"other.zip", listing_of({u"a.jpg"}, 300));
    store(cache, u"X.zip", listing_of({u"a.jpg"}, 200));
    uintptr_t size = 0;
    EXPECT_EQ(kOk, fetch(cache, u"x.zip", by_name(u"a.jpg"), &size));
    EXPECT_EQ(200u, size);
    // Only the one: evicting it leaves none behind.
    for (int i = 0; i < kCacheSlots; ++i) store(cache, archive(i), listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, u"x.zip", by_name(u"a.jpg")));
}

TEST(Cache, ATableIsServedOnlyWhileItsKeyHolds) {
    ArchiveTableCache cache;
    store(cache, u"x.zip", listing_of({u"a.jpg"}));
    TableKey others[5] = {key(1), key(), key(), key(), key()};
    others[1].file.index = 43;
    others[2].exe = u"C:\\other\\7z.exe";
    others[3].threshold = 1 << 20;
    others[4].tar_by_name = true;
    for (const TableKey& other : others) {
        MemberRecord request = by_position(0);
        Lookup l = cache.lookup(u"x.zip", other, true, nullptr, &request, NameForm::kWide, kMissing, nullptr);
        EXPECT_FALSE(l.held);
        EXPECT_TRUE(l.changed);
        // Dropped: not even the old key finds it now.
        EXPECT_EQ(kNotServed, fetch(cache, u"x.zip", by_position(0)));
        store(cache, u"x.zip", listing_of({u"a.jpg"}));
    }
}

TEST(Cache, TheSeventeenthTableEvictsTheFirst) {
    ArchiveTableCache cache;
    Listing first = listing_of({u"a.jpg"});
    const void* first_block = first.table.get();
    store(cache, archive(0), std::move(first));
    for (int i = 1; i < kCacheSlots; ++i) store(cache, archive(i), listing_of({u"a.jpg"}));
    for (int i = 0; i < kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
    EXPECT_FALSE(RIZAZUR_RELEASED(first_block));

    store(cache, archive(kCacheSlots), listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, archive(0), by_position(0)));
#if __has_feature(address_sanitizer)
    EXPECT_TRUE(RIZAZUR_RELEASED(first_block));  // released, not leaked
#endif
    for (int i = 1; i <= kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
}

TEST(Cache, ANewTableOfAHeldArchiveCostsNoOtherItsSlot) {
    ArchiveTableCache cache;
    const int changed = kCacheSlots / 2;
    auto key_of = [&](int i) { return i == changed ? key(1) : key(); };
    for (int i = 0; i < kCacheSlots; ++i) store(cache, archive(i), listing_of({u"a.jpg"}));
    // One archive changed and listed again, the cache full.
    store(cache, archive(changed), listing_of({u"a.jpg"}), by_position(0), key(1));
    for (int i = 0; i < kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0), nullptr, key_of(i))) << i;
    // The one stored longest ago makes room for a new archive.
    store(cache, archive(kCacheSlots), listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, archive(0), by_position(0)));
    for (int i = 1; i <= kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0), nullptr, key_of(i))) << i;
}

TEST(Cache, ClearingForgetsEverythingAndStartsOver) {
    ArchiveTableCache cache;
    for (int i = 0; i < 5; ++i) store(cache, archive(i), listing_of({u"a.jpg"}));
    cache.remember_verdict(u"v.zip", key().file, key().exe, true);
    cache.clear();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(kNotServed, fetch(cache, archive(i), by_position(0))) << i;
    bool yes = false;
    EXPECT_FALSE(cache.verdict(u"v.zip", key().file, key().exe, yes));

    // Sixteen new tables all fit; the seventeenth evicts the first of them.
    for (int i = 10; i < 10 + kCacheSlots; ++i) store(cache, archive(i), listing_of({u"a.jpg"}));
    for (int i = 10; i < 10 + kCacheSlots; ++i) EXPECT_EQ(kOk, fetch(cache, archive(i), by_position(0))) << i;
    store(cache, archive(5), listing_of({u"a.jpg"}));
    EXPECT_EQ(kNotServed, fetch(cache, archive(10), by_position(0)));
    EXPECT_EQ(kOk, fetch(cache, archive(11), by_position(0)));
}

TEST(Cache, MissingMembersAnswerTheCallersCode) {
    ArchiveTableCache cache;
    store(cache, u"x.zip", listing_of({u"a.jpg", u"b.jpg", u"c.jpg"}));
    EXPECT_EQ(kOk, fetch(cache, u"x.zip", by_position(2)));
    EXPECT_EQ(kMissing, fetch(cache, u"x.zip", by_position(3)));
    EXPECT_EQ(kMissing, fetch(cache, u"x.zip", by_name(u"d.jpg")));
    MemberRecord request = by_position(3);
    Lookup l = cache.lookup(u"x.zip", key(), true, nullptr, &request, NameForm::kWide, kNotServed, nullptr);
    EXPECT_TRUE(l.held);
    EXPECT_EQ(kNotServed, l.result);
}

TEST(Cache, VerdictsHoldForTheFileAndTheProgramThatGaveThem) {
    ArchiveTableCache cache;
    bool yes = false;
    EXPECT_FALSE(cache.verdict(u"v.zip", key().file, key().exe, yes));
    cache.remember_verdict(u"v.zip", key().file, key().exe, true);
    cache.remember_verdict(u"w.zip", key().file, key().exe, false);
    EXPECT_TRUE(cache.verdict(u"V.ZIP", key().file, key().exe, yes));
    EXPECT_TRUE(yes);
    EXPECT_TRUE(cache.verdict(u"w.zip", key().file, key().exe, yes));
    EXPECT_FALSE(yes);
    EXPECT_FALSE(cache.verdict(u"v.zip", key(1).file, key().exe, yes));
    EXPECT_FALSE(cache.verdict(u"v.zip", key().file, key().exe, yes));  // forgotten with the change
    cache.remember_verdict(u"v.zip", key().file, key().exe, true);
    EXPECT_FALSE(cache.verdict(u"v.zip", key().file, u"D:\\7z.exe", yes));
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

// A request as a host names a member: cut at its last separator.
MemberRecord by_full_name(const std::u16string& name) {
    MemberRecord r{};
    size_t cut = name.find_last_of(u"\\/") + 1;
    copy_bounded(r.path, kFieldChars, name.c_str(), cut);
    copy_bounded(r.filename, kFieldChars, name.c_str() + cut);
    return r;
}

TEST(Cache, SelectRecordByFolderFindsThatMemberOrNone) {
    std::u16string cut(198, u'L'), longer = cut + u"\\" + std::u16string(60, u'M');
    platform::OwnedBlock block = make_table({u"ch01\\001.jpg", u"ch02\\001.jpg", u"001.jpg", u"Dir\\k.png",
                                             u"dir\\k.png", cut + u"\\x.png", longer + u"\\x.png",
                                             longer + u"N\\x.png", longer + u"\\y.png"});
    auto* table = static_cast<const MemberRecord*>(block.get());
    EXPECT_EQ(u"ch02\\", std::u16string(table[1].path));
    EXPECT_EQ(0, table[2].path[0]);
    EXPECT_EQ(cut, std::u16string(table[6].path));  // never "...L\\", another folder's name
    EXPECT_EQ(&table[1], select_record(table, by_full_name(u"CH02/001.JPG"), NameForm::kWide));
    EXPECT_EQ(&table[0], select_record(table, by_full_name(u"ch01\\001.jpg"), NameForm::kWide));
    EXPECT_EQ(&table[2], select_record(table, by_name(u"001.jpg"), NameForm::kWide));  // the one at the top
    EXPECT_EQ(&table[5], select_record(table, by_name(u"x.png"), NameForm::kWide));      // else the first
    EXPECT_EQ(nullptr, select_record(table, by_full_name(u"\\001.jpg"), NameForm::kWide));
    EXPECT_EQ(&table[4], select_record(table, by_full_name(u"dir\\k.png"), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(table, by_full_name(u"DIR\\k.png"), NameForm::kWide));
    // Cut folders: one member alone is found through its record, several
    // (or one sharing its name with a real folder) are not.
    EXPECT_EQ(&table[8], select_record(table, by_full_name(cut + u"\\y.png"), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(table, by_full_name(cut + u"\\x.png"), NameForm::kWide));
    EXPECT_EQ(nullptr, select_record(table, by_full_name(longer + u"\\x.png"), NameForm::kWide));
    // In ANSI the folder is shown, and found, as the code page has it.
    platform::OwnedBlock more = make_table({u"\u65E5\\p.png", u"\u6708\\p.png", u"\u00E9\\p.png"});
    auto* named = static_cast<const MemberRecord*>(more.get());
    EXPECT_EQ(&named[2], select_record(named, by_full_name(u"\u00C9/P.png"), NameForm::kAnsi));
    EXPECT_EQ(nullptr, select_record(named, by_full_name(u"_\\p.png"), NameForm::kAnsi));
}

TEST(Cache, ConcurrentCallersShareTheCache) {
    // Archive k's b.jpg is 1000 k + 101 bytes: what is served is that
    // archive's own record, or nothing.
    ArchiveTableCache cache;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 300; ++i) {
                int k = (t * 7 + i) % 24;
                uintptr_t want = 1000u * k + 101, size = 0;
                MemberRecord request = by_name(u"b.jpg");
                if (i % 3 == 0) {
                    EXPECT_EQ(kOk, cache.store(archive(k).c_str(), key(), true, listing_of({u"a.jpg", u"b.jpg"}, want - 1),
                                               nullptr, &request, NameForm::kWide, kMissing, nullptr));
                    EXPECT_EQ(want, request.filesize);
                } else {
                    int rc = fetch(cache, archive(k), request, &size);
                    EXPECT_TRUE(rc == kOk ? size == want : rc == kNotServed) << rc << " " << size << " for " << want;
                }
                if (i % 100 == 99) cache.clear();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
