#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/test_host.h"
#include "test_config.h"

const wchar_t kDescription[] = L"7z\x30D5\x30A1\x30A4\x30EB";

TEST(PluginInfo, AnswersTheFourStrings) {
    Plugin p(L"");
    wchar_t buf[260];
    EXPECT_EQ(4, p.GetPluginInfoW(0, buf, 260));
    EXPECT_STREQ(L"00AM", buf);
    // The about text names the plug-in and its version, in ASCII alone.
    int about = p.GetPluginInfoW(1, buf, 260);
    EXPECT_EQ(static_cast<int>(wcslen(buf)), about);
    EXPECT_EQ(0, wcsncmp(buf, L"rizazur " RIZAZUR_VERSION L":", wcslen(L"rizazur " RIZAZUR_VERSION L":")));
    for (int i = 0; i < about; ++i) EXPECT_LT(buf[i], 0x80);
    EXPECT_EQ(16, p.GetPluginInfoW(2, buf, 260));
    EXPECT_STREQ(L"*.7z;*.zip;*.rar", buf);
    EXPECT_EQ(6, p.GetPluginInfoW(3, buf, 260));
    EXPECT_STREQ(kDescription, buf);

    char abuf[260];
    EXPECT_EQ(4, p.GetPluginInfo(0, abuf, 260));
    EXPECT_STREQ("00AM", abuf);
    EXPECT_EQ(about, p.GetPluginInfo(1, abuf, 260));
    EXPECT_EQ(16, p.GetPluginInfo(2, abuf, 260));
    EXPECT_STREQ("*.7z;*.zip;*.rar", abuf);
    // More short buffers and other numbers: HostAbuse.InformationIntoTinyBuffers.
    EXPECT_EQ(3, p.GetPluginInfo(0, abuf, 4));
    EXPECT_STREQ("00A", abuf);
    EXPECT_EQ(0, p.GetPluginInfoW(0, nullptr, 260));
}

TEST(PluginInfo, FilterFollowsTheSettingsFileWithoutReloading) {
    Plugin p(L"[UserSetting]\r\next=*.cbz,*.cb7,*.zip\r\n");
    wchar_t buf[260];
    EXPECT_EQ(17, p.GetPluginInfoW(2, buf, 260));
    EXPECT_STREQ(L"*.cbz;*.cb7;*.zip", buf);
    p.write_ini(L"[UserSetting]\r\next=*.lzh\r\n");
    EXPECT_EQ(5, p.GetPluginInfoW(2, buf, 260));
    EXPECT_STREQ(L"*.lzh", buf);
}

TEST(PluginInfo, AnsiDescriptionCountsBytesOfTheHostsCodePage) {
    // The run under a Japanese locale says which code page it must have.
    const char* expected = getenv("RIZAZUR_EXPECT_ACP");
    if (expected) {
        ASSERT_EQ(static_cast<UINT>(atoi(expected)), GetACP());
    }
    Plugin p(L"");
    char abuf[260];
    int n = p.GetPluginInfo(3, abuf, 260);
    if (GetACP() != 932) {
        // No katakana in the code page: each stands as '_'.
        EXPECT_STREQ("7z____", abuf);
        EXPECT_EQ(6, n);
        return;
    }
    // Two bytes for each katakana, and back to the description.
    EXPECT_EQ(10, n);
    wchar_t wide[260];
    MultiByteToWideChar(932, 0, abuf, -1, wide, 260);
    EXPECT_STREQ(kDescription, wide);
}
