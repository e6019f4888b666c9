// GetFile(W)'s progress callback: told how far the member has come with the
// host's own value, and able to stop a fetch that takes long.
#include "support/test_host.h"

#include <gtest/gtest.h>

namespace {

struct Calls {
    std::vector<std::pair<int, int>> seen;
    int stop_at = 0;                // answers 1 on: 1 the first call, 2 the first with part of the member
                                    // (7-Zip under way), -1 the member whole; 0 never
    std::wstring go;                // made when half the member is seen
    LONG_PTR self = 0;
};

int __stdcall on_progress(int num, int denom, LONG_PTR data) {
    Calls& c = *reinterpret_cast<Calls*>(data);
    c.seen.emplace_back(num, denom);
    if (!c.go.empty() && denom > 0 && num == denom / 2) write_bytes(c.go, "");
    c.self = data;
    bool whole = c.stop_at < 0 && denom > 0 && num == denom;
    bool part = c.stop_at == 2 && num > 0 && num < denom;
    return whole || part || (c.stop_at == 1 && c.seen.size() == 1) ? 1 : 0;
}

const std::string kMember = pattern_bytes(4000, 9);

struct HeldFetch : DictatedArchive {
    HeldFetch() : DictatedArchive(listing_block("deep\\slow.png", std::to_string(kMember.size()))) {
        member(kMember);
        write_bytes(join(dir, L"hold-x.txt"), "");
    }
};

}  // namespace

TEST(Progress, ToldHowFarWithTheHostsValue) {
    HeldFetch a;
    Plugin p(a.ini());
    ASSERT_EQ(1u, a.list(p).size());
    Calls c;
    c.go = join(a.dir, L"go");
    LocalBlock block;
    ASSERT_EQ(0, p.GetFileW(a.archive.c_str(), 0, reinterpret_cast<LPWSTR>(&block.h), 0x100, on_progress,
                            reinterpret_cast<LONG_PTR>(&c)));
    EXPECT_EQ(kMember, bytes_of(block.h));
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&c), c.self);
    const int size = static_cast<int>(kMember.size());
    ASSERT_GE(c.seen.size(), 3u);
    EXPECT_EQ(std::make_pair(0, size), c.seen.front());
    EXPECT_EQ(std::make_pair(size, size), c.seen.back());
    for (size_t i = 1; i < c.seen.size(); ++i) {
        EXPECT_EQ(size, c.seen[i].second);
        EXPECT_LE(c.seen[i - 1].first, c.seen[i].first);
    }
}

// Stopped on the first call (before 7-Zip), while it writes (half the
// member written, the rest held back), or once the member is whole, into
// memory or a folder, by either form: 1, nothing handed over, nothing left
// running or behind. Stopped while 7-Zip is still starting, Wine leaves the
// run's hidden console behind, holding the test runner's output pipe open.
struct StopCase {
    const char* name;
    int stop_at;  // as in Calls
    bool memory;
    bool ansi;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class Stopping : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stopping, EndsEverythingAndHandsOverNothing) {
    const StopCase k = GetParam();
    HeldFetch a;
    Plugin p(a.ini());
    ASSERT_EQ(1u, a.list(p).size());
    Calls c;
    c.stop_at = k.stop_at;
    if (k.stop_at < 0) write_bytes(join(a.dir, L"go"), "");
    std::wstring out = fresh_dir(L"out");
    std::string aout = utf8(out);
    HLOCAL block = reinterpret_cast<HLOCAL>(0x1234);
    auto data = reinterpret_cast<LONG_PTR>(&c);
    unsigned flag = k.memory ? 0x100 : 0;
    int rc = k.ansi ? p.GetFile(utf8(a.archive).c_str(), 0, k.memory ? reinterpret_cast<LPSTR>(&block) : &aout[0],
                                flag, on_progress, data)
                    : p.GetFileW(a.archive.c_str(), 0,
                                 k.memory ? reinterpret_cast<LPWSTR>(&block) : const_cast<wchar_t*>(out.c_str()), flag,
                                 on_progress, data);
    EXPECT_EQ(1, rc);
    if (k.stop_at == 1) {
        EXPECT_EQ(1u, c.seen.size());
    }
    if (k.stop_at == 2) {
        ASSERT_FALSE(c.seen.empty());
        EXPECT_EQ(std::make_pair(static_cast<int>(kMember.size() / 2), static_cast<int>(kMember.size())),
                  c.seen.back());
    }
    EXPECT_EQ(reinterpret_cast<HLOCAL>(0x1234), block);
    EXPECT_TRUE(list_tree(out).empty());
    // A run that was let end keeps what it brought for the pages to come.
    EXPECT_TRUE(work_area_leftovers(false, k.stop_at < 0).empty());
    EXPECT_FALSE(runs_from(a.dir));
    if (k.stop_at == 1) {
        EXPECT_EQ(std::string::npos, a.letters().find('x'));  // 7-Zip never asked to extract
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, Stopping,
                         ::testing::Values(StopCase{"FirstMemory", 1, true, false},
                                           StopCase{"PartMemory", 2, true, false},
                                           StopCase{"PartFile", 2, false, false},
                                           StopCase{"PartAnsiFile", 2, false, true},
                                           StopCase{"WholeMemory", -1, true, false},
                                           StopCase{"WholeAnsiFile", -1, false, true}),
                         [](const ::testing::TestParamInfo<StopCase>& i) { return std::string(i.param.name); });
