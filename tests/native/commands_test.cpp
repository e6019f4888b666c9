#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "driver/commands.h"

namespace {

std::u16string ext(const char16_t* path) { return find_extension(path); }

TEST(Commands, ExtensionsAreFoundLikePathFindExtension) {
    EXPECT_EQ(u".zip", ext(u"a.zip"));
    EXPECT_EQ(u".gz", ext(u"photos.tar.gz"));
    EXPECT_EQ(u".rar", ext(u"C:\\dir.d\\x.rar"));
    EXPECT_EQ(u".hidden", ext(u".hidden"));
    EXPECT_EQ(u".", ext(u"file."));
    EXPECT_EQ(u"", ext(u"noext"));
    EXPECT_EQ(u"", ext(u"dir.d\\file"));   // a backslash ends an extension
    EXPECT_EQ(u"", ext(u"a.b c"));         // and so does a space
    EXPECT_EQ(u".c", ext(u"a b.c"));
    EXPECT_EQ(u"", ext(u""));
    // With no extension the answer is the terminator, not null.
    const char16_t* path = u"dir\\name";
    EXPECT_EQ(path + 8, find_extension(path));
}

TEST(Commands, AnEmptyTarSettingAlwaysPipes) {
    EXPECT_TRUE(use_tar_pipe(u"a.zip", u""));
    EXPECT_TRUE(use_tar_pipe(u"noext", u""));
}

TEST(Commands, ACompressedTarPipes) {
    EXPECT_TRUE(use_tar_pipe(u"C:\\p\\photos.tar.xz", u"*.cbz"));
    EXPECT_TRUE(use_tar_pipe(u"PHOTOS.TAR.GZ", u"*.cbz"));
    EXPECT_TRUE(use_tar_pipe(u"a.Tar.zst", u"x"));
    EXPECT_FALSE(use_tar_pipe(u"photos.tar", u"*.cbz"));   // nothing to unpack first
    EXPECT_FALSE(use_tar_pipe(u"photos.star.gz", u"*.cbz"));
    EXPECT_FALSE(use_tar_pipe(u"photos.tar x.gz", u"*.cbz"));
    EXPECT_FALSE(use_tar_pipe(u"dir.tar\\photos.gz", u"*.cbz"));
}

TEST(Commands, AnExtensionInTheSettingPipes) {
    EXPECT_TRUE(use_tar_pipe(u"book.cbz", u"*.cbz"));
    EXPECT_TRUE(use_tar_pipe(u"BOOK.CBZ", u"*.cbz"));
    EXPECT_TRUE(use_tar_pipe(u"book.cbr", u"*.CBZ;*.CBR"));
    EXPECT_TRUE(use_tar_pipe(u"x.\u00C4b", u"*.\u00E4b"));
    EXPECT_TRUE(use_tar_pipe(u"C:\\a.b\\book.cbz", u" *.zip ; *.cbz "));
    EXPECT_TRUE(use_tar_pipe(u"book7.cbz", u"book?.*"));
    EXPECT_FALSE(use_tar_pipe(u"book.zip", u"*.cbz"));
    EXPECT_FALSE(use_tar_pipe(u"book.cbz", u"cbz"));
}

TEST(Commands, TarPatternsMatchWholeNames) {
    // Neither part of a pattern nor part of a name is enough.
    for (const char16_t* name : {u"x.t", u"x.ta", u"x.tg", u"x.tgzz", u"book.", u"photo.png.gz", u"x.tgz\\y"})
        EXPECT_FALSE(use_tar_pipe(name, u"*.tgz,*.taz")) << std::u16string(name).size();
    EXPECT_FALSE(use_tar_pipe(u"photo.png.gz", u"*.tar.gz"));
    EXPECT_FALSE(use_tar_pipe(u"x.t", u"*.tar.gz"));
    EXPECT_TRUE(use_tar_pipe(u"x.TGZ", u"*.tgz,*.taz"));
    EXPECT_TRUE(use_tar_pipe(u"d\\x.taz", u"*.tgz,*.taz"));
    EXPECT_TRUE(use_tar_pipe(u"p.tar.gz", u"*.tar.gz"));
}

TEST(Commands, NoExtensionNeverPipesWithASetting) {
    EXPECT_FALSE(use_tar_pipe(u"book", u"*.cbz"));
    EXPECT_FALSE(use_tar_pipe(u"dir.cbz\\book", u"*.cbz"));
    EXPECT_FALSE(use_tar_pipe(u"book.c bz", u"*.cbz"));
}

const char16_t kExe[] = u"C:\\Program Files\\7-Zip\\7z.exe";
const char16_t kArchive[] = u"D:\\\u5199\u771F\\a b.zip";

TEST(Commands, TestCommand) {
    // The program path is quoted, or "C:\\Program.exe" would be run where it exists.
    EXPECT_EQ(u"\"C:\\Program Files\\7-Zip\\7z.exe\" t \"D:\\\u5199\u771F\\a b.zip\" -slt -ba -sccUTF-8",
              test_command(kExe, kArchive));
}

TEST(Commands, ListRuns) {
    ArchiverRun plain = list_run(kExe, kArchive, false);
    EXPECT_EQ(u"\"C:\\Program Files\\7-Zip\\7z.exe\" l \"D:\\\u5199\u771F\\a b.zip\" -slt -ba -sccUTF-8", plain.first);
    EXPECT_EQ(u"", plain.second);
    // The tar pipe: two runs of 7-Zip itself, no command interpreter between.
    ArchiverRun piped = list_run(u"7z.exe", u"p%OS%.tar.gz", true);
    EXPECT_EQ(u"\"7z.exe\" x \"p%OS%.tar.gz\" -so -sccUTF-8", piped.first);
    EXPECT_EQ(u"\"7z.exe\" l -slt -ba -si -ttar -sccUTF-8", piped.second);
}

TEST(Commands, ExtractRuns) {
    ArchiverRun plain = extract_run(u"7z.exe", u"a.zip", u"C:\\work\\x.1", u"dir\\\U0001F600.jpg", false);
    EXPECT_EQ(u"\"7z.exe\" x \"a.zip\" -o\"C:\\work\\x.1\" -aoa -sccUTF-8 -i!\"dir\\\U0001F600.jpg\"", plain.first);
    EXPECT_EQ(u"", plain.second);
    ArchiverRun piped = extract_run(u"7z.exe", u"p.tar.gz", u"C:\\work\\x.1", u"dir\\100%.png", true);
    EXPECT_EQ(u"\"7z.exe\" x \"p.tar.gz\" -so -sccUTF-8", piped.first);
    EXPECT_EQ(u"\"7z.exe\" x -o\"C:\\work\\x.1\" -aoa -si -ttar -i!\"dir\\100%.png\"", piped.second);
    // Streamed, the run that decodes the archive does so on one thread.
    const std::vector<WideString> two{u"a.jpg", u"b.jpg"};
    ArchiverRun one = extract_run(u"7z.exe", u"a.7z", u"C:\\w", two, false, true);
    EXPECT_EQ(u"\"7z.exe\" x \"a.7z\" -o\"C:\\w\" -aoa -mmt1 -sccUTF-8 -i!\"a.jpg\" -i!\"b.jpg\"", one.first);
    ArchiverRun streamed_pipe = extract_run(u"7z.exe", u"p.tar.xz", u"C:\\w", two, true, true);
    EXPECT_EQ(u"\"7z.exe\" x \"p.tar.xz\" -mmt1 -so -sccUTF-8", streamed_pipe.first);
    EXPECT_EQ(extract_run(u"7z.exe", u"p.tar.xz", u"C:\\w", two, true).second, streamed_pipe.second);
    // Its bytes alone: the member to standard output, no folder named.
    ArchiverRun output = output_run(u"7z.exe", u"a.zip", u"dir\\100%.png", false);
    EXPECT_EQ(u"\"7z.exe\" x \"a.zip\" -so -sccUTF-8 -i!\"dir\\100%.png\"", output.first);
    EXPECT_EQ(u"", output.second);
    ArchiverRun output_pipe = output_run(u"7z.exe", u"p.tar.gz", u"dir\\100%.png", true);
    EXPECT_EQ(piped.first, output_pipe.first);
    EXPECT_EQ(u"\"7z.exe\" x -so -si -ttar -i!\"dir\\100%.png\"", output_pipe.second);
    // Several, streamed: one after another on one thread.
    EXPECT_EQ(u"\"7z.exe\" x \"a.7z\" -mmt1 -so -sccUTF-8 -i!\"a.jpg\" -i!\"b.jpg\"",
              output_run(u"7z.exe", u"a.7z", two, false, true).first);
}

TEST(Commands, SizeThreshold) {
    EXPECT_EQ(0, size_threshold(INT_MIN));
    EXPECT_EQ(0, size_threshold(-1));
    EXPECT_EQ(0, size_threshold(0));
    EXPECT_EQ(1 << 20, size_threshold(1));
    EXPECT_EQ(2047 << 20, size_threshold(2047));
    EXPECT_EQ(INT32_MAX, size_threshold(2048));
    EXPECT_EQ(INT32_MAX, size_threshold(INT_MAX));
}

}  // namespace
