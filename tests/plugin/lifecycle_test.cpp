// What loading and unloading the plug-in does to its work folder.
#include <gtest/gtest.h>

#include "support/test_host.h"

TEST(Lifecycle, LoadMakesTheWorkFolderAndUnloadRemovesItWhenEmpty) {
    remove_tree(work_area());
    Plugin p(L"");
    EXPECT_TRUE(exists(work_area()));
    wchar_t buf[260];
    EXPECT_EQ(4, p.GetPluginInfoW(0, buf, 260));
    p.unload();
    EXPECT_FALSE(exists(work_area()));
}

TEST(Lifecycle, AFetchFromASubfolderLeavesNothingBehind) {
    std::vector<Entry> e = {{L"sub\\dir\\pic.png", pattern_bytes(100, 1)}};
    std::wstring archive = make_archive(L"nested.zip", e, "zip");
    Plugin p(ini_with_7zip());
    ASSERT_EQ(1u, list(p, archive).size());
    EXPECT_EQ(e[0].bytes, fetch_memory(p, archive, 0));
    // The member stays kept while the plug-in is loaded, and nothing else.
    for (const std::wstring& f : list_tree(work_area())) EXPECT_EQ(0u, f.rfind(L"k.", 0)) << utf8(f);
    p.unload();
    EXPECT_FALSE(exists(work_area()));
}

TEST(Lifecycle, AWorkFolderThatCannotBeMadeDoesNotStopTheLoad) {
    // A file where the folder should be.
    remove_tree(work_area());
    write_bytes(work_area(), "in the way");
    Plugin p(ini_with_7zip());
    ASSERT_NE(nullptr, p.module);
    wchar_t buf[260];
    EXPECT_EQ(4, p.GetPluginInfoW(0, buf, 260));
    std::wstring zip = make_archive(L"x.zip", {{L"a.png", pattern_bytes(10, 1)}}, "zip");
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), kHeader));  // no capture can be written
    EXPECT_EQ(2, listing_code(p, zip));
    p.unload();
    EXPECT_EQ("in the way", read_bytes(work_area()));
    DeleteFileW(work_area().c_str());
}

TEST(Lifecycle, ReloadingAfterEveryCallKeepsWorking) {
    std::wstring zip = make_archive(L"r.zip", {{L"a.png", pattern_bytes(10, 1)}, {L"b.png", pattern_bytes(20, 2)}},
                                    "zip");
    for (int i = 0; i < 3; ++i) {
        Plugin p(ini_with_7zip());
        EXPECT_EQ(2u, list(p, zip).size());
        p.unload();
        Plugin q(ini_with_7zip());
        EXPECT_EQ(pattern_bytes(20, 2), fetch_memory(q, zip, 1));
    }
}
