#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/capture.h"
#include "sources.h"

namespace {

typedef std::vector<std::u16string> Pieces;

const char kGrin[] = "\xF0\x9F\x98\x80";  // U+1F600: D83D DE00 in UTF-16
const std::u16string kGrinUnits = u"\U0001F600";

TEST(PieceReader, CrLfBecomesLfAndALoneCrStays) {
    EXPECT_EQ((Pieces{u"a\n", u"b\n"}), read_pieces("a\r\nb\r\n"));
    EXPECT_EQ((Pieces{u"a\rb\n"}), read_pieces("a\rb\n"));
    EXPECT_EQ((Pieces{u"\r\n"}), read_pieces("\r\r\n"));
    EXPECT_EQ((Pieces{u"end\r"}), read_pieces("end\r"));
    EXPECT_EQ((Pieces{u"\n", u"\n"}), read_pieces("\n\r\n"));
}

TEST(PieceReader, PiecesEndAfterTheirLineFeed) {
    EXPECT_EQ((Pieces{u"Path = a\n", u"Size = 1\n", u"\n", u"last"}),
              read_pieces("Path = a\nSize = 1\n\nlast"));
}

TEST(PieceReader, NoInputGivesNoPieceButATerminatedBuffer) {
    ChunkSource source{"", 0, 1};
    PieceReader reader(ChunkSource::read, &source);
    wchar16 piece[kPathChars];
    piece[0] = u'#';
    size_t length = 99;
    EXPECT_FALSE(reader.next(piece, length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(0, piece[0]);
    EXPECT_FALSE(reader.next(piece, length));
}

TEST(PieceReader, ALineThatFitsIsOnePiece) {
    std::string line(258, 'a');
    EXPECT_EQ((Pieces{std::u16string(258, u'a') + u"\n"}), read_pieces(line + "\n"));
    // CR LF counts as the one unit it becomes.
    EXPECT_EQ((Pieces{std::u16string(258, u'a') + u"\n"}), read_pieces(line + "\r\n"));
}

TEST(PieceReader, ALongerLineArrivesInPiecesOf259) {
    EXPECT_EQ((Pieces{std::u16string(259, u'a'), u"\n"}), read_pieces(std::string(259, 'a') + "\n"));
    EXPECT_EQ((Pieces{std::u16string(259, u'b'), std::u16string(259, u'b'), std::u16string(82, u'b') + u"\n"}),
              read_pieces(std::string(600, 'b') + "\r\n"));
}

TEST(PieceReader, ASurrogatePairIsNeverSplit) {
    // The pair would take units 258 and 259: the piece ends one unit early.
    Pieces cut = read_pieces(std::string(258, 'a') + kGrin + "\n");
    EXPECT_EQ((Pieces{std::u16string(258, u'a'), kGrinUnits + u"\n"}), cut);
    // Units 257 and 258 hold it whole.
    Pieces fits = read_pieces(std::string(257, 'a') + kGrin + "\n");
    EXPECT_EQ((Pieces{std::u16string(257, u'a') + kGrinUnits, u"\n"}), fits);
    // A run of pairs: every piece ends on a whole pair.
    std::string pairs;
    for (int i = 0; i < 300; ++i) pairs += kGrin;
    for (const std::u16string& piece : read_pieces(pairs)) {
        ASSERT_LE(piece.size(), 259u);
        EXPECT_EQ(0u, piece.size() % 2);
        EXPECT_EQ(0xDE00, piece.back());
    }
}

TEST(PieceReader, DecodesUtf8) {
    EXPECT_EQ((Pieces{u"caf\u00E9 \u20AC \u65E5\u672C"}), read_pieces("caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC"));
    EXPECT_EQ((Pieces{std::u16string{0xD83D, 0xDE00, 0xDBFF, 0xDFFF, 0xD800, 0xDC00}}),
              read_pieces(std::string(kGrin) + "\xF4\x8F\xBF\xBF" + "\xF0\x90\x80\x80"));
}

TEST(PieceReader, AnEncodedSurrogateIsThatUnit) {
    // How 7-Zip prints a name holding a lone surrogate; a pair written as two
    // such sequences comes back as the pair.
    EXPECT_EQ((Pieces{std::u16string{'a', 0xD800, 'b', 0xDFFF, 0xD83D, 0xDE00}}),
              read_pieces("a\xED\xA0\x80" "b\xED\xBF\xBF" "\xED\xA0\xBD\xED\xB8\x80"));
}

TEST(PieceReader, EachMaximalInvalidSubpartBecomesOneReplacement) {
    // The example the Unicode Standard gives for this practice (ch. 3, U+FFFD substitution).
    EXPECT_EQ((Pieces{u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"}),
              read_pieces("a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d"));
    // Overlong forms and code points past U+10FFFF: byte by byte.
    EXPECT_EQ((Pieces{u"\uFFFD\uFFFD"}), read_pieces("\xC0\xAF"));
    EXPECT_EQ((Pieces{u"\uFFFD\uFFFD\uFFFD"}), read_pieces("\xE0\x80\xAF"));
    EXPECT_EQ((Pieces{u"\uFFFD\uFFFD\uFFFD\uFFFD"}), read_pieces("\xF4\x90\x80\x80"));
    EXPECT_EQ((Pieces{u"\uFFFD\uFFFD"}), read_pieces("\xF5\xFF"));
    // A sequence cut short by the end of the input, or by a line feed.
    EXPECT_EQ((Pieces{u"x\uFFFD"}), read_pieces("x\xF0\x9F\x98"));
    EXPECT_EQ((Pieces{u"\uFFFD\n", u"y"}), read_pieces("\xE2\x82\ny"));
}

TEST(PieceReader, ReadSizesDoNotChangeThePieces) {
    std::string input;
    for (int i = 0; i < 40; ++i) {
        input += "Path = dir\\\xE5\x86\x99\xE7\x9C\x9F";
        input += std::string(i * 13 % 300, 'x');
        input += kGrin;
        input += "\r\n\r\rSize = 12\xF0\x9F\x98\r\n\xE0\x80\xC3\xA9\n";
    }
    // Past the reader's own 16 KiB buffer, so its refills land mid-character too.
    while (input.size() < 40000) input += std::string(kGrin) + "\xE6\x97\xA5\r\n";
    Pieces whole = read_pieces(input);
    ASSERT_GT(whole.size(), 100u);
    for (size_t chunk : {1u, 2u, 3u, 5u, 7u, 64u, 16383u}) {
        Pieces pieces = read_pieces(input, chunk);
        ASSERT_EQ(whole.size(), pieces.size()) << "reads of " << chunk;
        for (size_t i = 0; i < whole.size(); ++i)
            ASSERT_EQ(whole[i], pieces[i]) << "piece " << i << ", reads of " << chunk;
    }
}

TEST(PieceReader, MemorySourceHandsOutEverythingOnce) {
    std::string text = "one\ntwo\n";
    MemorySource source{text.data(), text.size()};
    PieceReader reader(MemorySource::read, &source);
    wchar16 piece[kPathChars];
    size_t length;
    ASSERT_TRUE(reader.next(piece, length));
    EXPECT_EQ(u"one\n", std::u16string(piece, length));
    ASSERT_TRUE(reader.next(piece, length));
    EXPECT_EQ(u"two\n", std::u16string(piece));
    EXPECT_FALSE(reader.next(piece, length));
    EXPECT_EQ(0u, source.size);
}

}  // namespace
