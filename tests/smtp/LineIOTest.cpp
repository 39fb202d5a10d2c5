// The line layer over scripted input: terminators, the length limit, end of stream, timeouts
// and the 7-bit writers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp/IdException.h"
#include "support/MemoryIOHandler.h"

namespace varnley {
namespace {

using testing::MemoryIOHandler;

struct LineCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
};

class ReadLineTable : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadLineTable, ReadsEachLine) {
  MemoryIOHandler io;
  for (const auto& c : GetParam().chunks) io.AddChunk(c);
  for (const auto& expected : GetParam().lines) EXPECT_EQ(io.ReadLine(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Terminators, ReadLineTable,
    ::testing::Values(LineCase{"CrLfAndLfReadTheSame", {"250 a\r\n250 b\n"}, {"250 a", "250 b"}},
                      LineCase{"LoneCrStays", {"a\rb\r\n"}, {"a\rb"}},
                      LineCase{"OnlyOneCrDropped", {"x\r\r\n"}, {"x\r"}},
                      LineCase{"LineSplitAcrossReceives",
                               {"25", "0 he", "llo\r", "\nnext\n"},
                               {"250 hello", "next"}},
                      LineCase{"TerminatorSplitBetweenCrAndLf", {"abc\r", "\n"}, {"abc"}},
                      LineCase{"EmptyLines", {"\r\n\n"}, {"", ""}},
                      LineCase{"HighBytesReadAsQuestionMarks", {"caf\xC3\xA9\n"}, {"caf??"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadLine, LongestAllowedLineIsReadAndOneMoreRaises) {
  const std::string longest(TIdIOHandler::kDefaultMaxLineLength, 'x');
  MemoryIOHandler ok;
  ok.AddChunk(longest + "\r\n");
  EXPECT_EQ(ok.ReadLine(), longest);

  MemoryIOHandler tooLong;
  tooLong.AddChunk(longest + "y\r\n");
  EXPECT_THROW(tooLong.ReadLine(), EIdReadLnMaxLineLengthExceeded);
}

TEST(ReadLine, RunawayLineRaisesBeforeItsEndArrives) {
  MemoryIOHandler io;
  io.closeAtEnd = false;
  for (int i = 0; i < 10; ++i) io.AddChunk(std::string(2000, 'z'));
  try {
    io.ReadLine();
    FAIL() << "no exception";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  // It stopped reading once the limit was passed instead of swallowing everything.
  EXPECT_LT(io.receives, 10);
}

TEST(ReadLine, BufferedLinesComeFirstThenClosedGracefully) {
  MemoryIOHandler io;
  io.AddChunk("one\ntwo\npartial");
  EXPECT_EQ(io.ReadLine(), "one");
  EXPECT_EQ(io.ReadLine(), "two");
  try {
    io.ReadLine();
    FAIL() << "no exception";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_FALSE(io.Connected());
}

TEST(ReadLine, TimeoutReturnsEmptyWithFlag) {
  MemoryIOHandler io;
  io.closeAtEnd = false;
  io.AddChunk("no end");
  EXPECT_EQ(io.ReadLine(), "");
  EXPECT_TRUE(io.ReadLnTimedOut());
  io.AddChunk(" yet\n");
  EXPECT_EQ(io.ReadLine(), "no end yet");
  EXPECT_FALSE(io.ReadLnTimedOut());
}

TEST(Write, SevenBitLinesAndDotDoubling) {
  MemoryIOHandler io;
  io.Write("caf\xC3\xA9 \xE2\x82\xAC");  // accented letter and euro sign
  io.WriteLine();
  io.WriteDataLine(".");
  io.WriteDataLine(".x");
  io.WriteDataLine("a.");
  io.WriteDataLines({"..", "b"}, true);
  EXPECT_EQ(io.written, "caf? ?\r\n..\r\n..x\r\na.\r\n...\r\nb\r\n.\r\n");
}

// Collects everything written while a buffer is open into one send.
class CountingHandler : public testing::MemoryIOHandler {
 public:
  int sends = 0;

 protected:
  void WriteDirect(std::string_view bytes) override {
    ++sends;
    MemoryIOHandler::WriteDirect(bytes);
  }
};

TEST(Write, ABufferSendsOnceAndCancelDrops) {
  CountingHandler io;
  io.WriteBufferOpen();
  for (const char* line : {"a", "b", "c"}) io.WriteLine(line);
  EXPECT_EQ(io.sends, 0);
  io.WriteBufferClose();
  EXPECT_EQ(io.sends, 1);
  EXPECT_EQ(io.written, "a\r\nb\r\nc\r\n");

  io.WriteBufferOpen();
  io.WriteLine("dropped");
  io.WriteBufferCancel();
  EXPECT_EQ(io.sends, 1);
  EXPECT_EQ(io.written, "a\r\nb\r\nc\r\n");
}

TEST(Write, AfterPeerClosedRaises) {
  MemoryIOHandler io;
  EXPECT_THROW(io.ReadLine(), EIdConnClosedGracefully);
  EXPECT_THROW(io.WriteLine("x"), EIdConnClosedGracefully);
}

}  // namespace
}  // namespace varnley
