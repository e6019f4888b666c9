#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/member_paths.h"

namespace {

// The listing's paths in order, each kept or not; which kept ones can be
// had alone.
std::vector<bool> alone(const std::vector<std::pair<std::u16string, bool>>& listed) {
    MemberPaths paths;
    for (const auto& p : listed) paths.add(p.first.data(), p.first.size(), p.second);
    paths.finish();
    EXPECT_TRUE(paths.complete());
    std::vector<bool> out;
    for (size_t i = 0; i < paths.size(); ++i) out.push_back(paths.alone(i));
    return out;
}

TEST(MemberPaths, KeepsTheFullPathsOfKeptMembersInOrder) {
    MemberPaths paths;
    const std::u16string listed[] = {u"d", u"d\\a.png", u"empty", u"b.png"};
    const bool kept[] = {false, true, false, true};
    for (size_t i = 0; i < 4; ++i) paths.add(listed[i].data(), listed[i].size(), kept[i]);
    paths.finish();
    ASSERT_EQ(2u, paths.size());
    size_t len = 0;
    const char16_t* p = paths.path(0, len);
    EXPECT_EQ(u"d\\a.png", std::u16string(p, len));
    p = paths.path(1, len);
    EXPECT_EQ(u"b.png", std::u16string(p, len));
    EXPECT_TRUE(paths.alone(0) && paths.alone(1));
}

TEST(MemberPaths, WhatCannotBeHadAlone) {
    // Namesakes by either rule, kept or not; a member named like a folder.
    EXPECT_EQ((std::vector<bool>{false, false, true}),
              alone({{u"Pic.png", true}, {u"pic.PNG", true}, {u"sub\\pic.png", true}}));
    EXPECT_EQ((std::vector<bool>{false}), alone({{u"x.png", true}, {u"X.PNG", false}}));
    EXPECT_EQ((std::vector<bool>{false, true}), alone({{u"\u0280.png", true}, {u"\u01A6.png", false}, {u"b", true}}));
    EXPECT_EQ((std::vector<bool>{false, true, true}),
              alone({{u"pics", true}, {u"pics\\1.png", true}, {u"pics/2.png", true}}));
    // The folder listed last, after the members it holds.
    EXPECT_EQ((std::vector<bool>{true, true, false}),
              alone({{u"a\\b\\1.png", true}, {u"a\\b\\2.png", true}, {u"A\\B", true}}));
    EXPECT_EQ((std::vector<bool>{true, true}), alone({{u"pics2\\1.png", true}, {u"pics", true}}));
    EXPECT_EQ((std::vector<bool>{true, true}), alone({{u"a/b.png", true}, {u"a.b/b.png", true}}));
    // A "." element is the folder it stands in.
    EXPECT_EQ((std::vector<bool>{false, false, true}),
              alone({{u".\\a.png", true}, {u"a.png", true}, {u"d\\.\\.png", true}}));
    EXPECT_EQ((std::vector<bool>{false, false}), alone({{u"d\\.\\x.png", true}, {u"D\\X.png", true}}));
}

TEST(MemberPaths, PastItsLimitNothingIsKept) {
    MemberPaths paths;
    paths.set_limit(10);
    paths.add(u"abcd", 4, true);
    paths.add(u"efgh", 4, true);
    EXPECT_TRUE(paths.complete());
    paths.add(u"ijkl", 4, true);
    paths.finish();
    EXPECT_FALSE(paths.complete());
    EXPECT_EQ(0u, paths.size());
}

}  // namespace
