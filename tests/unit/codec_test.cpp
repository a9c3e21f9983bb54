// The byte codec: numbers as decimal text to bytes in the output's byte
// order and back, through hexadecimal digit text.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/internals.hpp"
#include "support/temp_dir.hpp"

namespace vellox {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out.push_back(static_cast<char>(v));
  return out;
}

class CodecTest : public ::testing::Test {
 protected:
  MergerInternals in;

  std::string Buffered(const std::string& text, std::int16_t n, bool little, std::int32_t zeros = 0) {
    in.OutputLittleEndian() = little;
    in.EncodeNumber(text, n, true, zeros);
    return in.PendingBytes();
  }
};

TEST_F(CodecTest, EncodesIntoThePendingBufferInTheOutputByteOrder) {
  EXPECT_EQ(Buffered("8", 4, true), Bytes({8, 0, 0, 0}));
  EXPECT_EQ(Buffered("8", 4, false), Bytes({0, 0, 0, 8}));
  EXPECT_EQ(Buffered("2147483647", 4, false), Bytes({0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Buffered("65535", 2, true), Bytes({0xFF, 0xFF}));
  EXPECT_EQ(Buffered("0", 2, true), Bytes({0, 0}));
  EXPECT_EQ(in.DirectByteCount(), 0);
}

TEST_F(CodecTest, TrailingZeroBytesComeAfterTheNumber) {
  EXPECT_EQ(Buffered("1", 2, true, 2), Bytes({1, 0, 0, 0}));
  EXPECT_EQ(Buffered("1", 2, false, 2), Bytes({0, 1, 0, 0}));
  EXPECT_EQ(Buffered("1", 2, false, 0), Bytes({0, 1}));
  EXPECT_EQ(Buffered("1", 2, false, -3), Bytes({0, 1}));
}

TEST_F(CodecTest, HexPairsHoldThePairsInEmissionOrder) {
  Buffered("258", 2, true);
  EXPECT_EQ(in.HexPairs(), (std::vector<std::string>{"02", "01"}));
  Buffered("258", 2, false);
  EXPECT_EQ(in.HexPairs(), (std::vector<std::string>{"01", "02"}));
}

TEST_F(CodecTest, EachCallReplacesThePendingBuffer) {
  Buffered("1", 4, true);
  EXPECT_EQ(Buffered("2", 2, true), Bytes({2, 0}));
}

TEST_F(CodecTest, ValuesWithTheTopBitSetRoundTrip) {
  // Tags of 32768 and up and offsets of 2^31 and up occur in real files.
  EXPECT_EQ(Buffered("34665", 2, false), Bytes({0x87, 0x69}));
  EXPECT_EQ(Buffered("4294967295", 4, true), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Buffered("2147483648", 4, false), Bytes({0x80, 0, 0, 0}));
  std::int16_t n = 4;
  in.InputLittleEndian() = false;
  EXPECT_EQ(in.DecodeNumber(Bytes({0x80, 0, 0, 0}), n), 2147483648u);
  n = 2;
  EXPECT_EQ(in.DecodeNumber(Bytes({0x87, 0x69}), n), 34665u);
}

TEST_F(CodecTest, RejectedValuesEmitNothingAndKeepThePendingBuffer) {
  Buffered("7", 1, true);
  const std::string before = in.PendingBytes();
  for (const char* bad : {"65536", "-1", "abc", "", "1.5", " 1", "4294967296", "99999999999"}) {
    EXPECT_ANY_THROW(in.EncodeNumber(bad, 2, true, 0)) << bad;
    EXPECT_EQ(in.PendingBytes(), before) << bad;
  }
  EXPECT_THROW(in.EncodeNumber("1", 0, true, 0), std::invalid_argument);
  EXPECT_THROW(in.EncodeNumber("1", 16384, true, 0), std::overflow_error);
  EXPECT_THROW(in.EncodeNumber("1", 2, true, 40000), std::overflow_error);
  EXPECT_EQ(in.PendingBytes(), before);
}

TEST_F(CodecTest, StraightToTheFileCountsBytesAndEmptiesTheBuffer) {
  test::TempDir dir;
  platform::OutputFile output;
  output.Create(dir / "out", false);
  MergeReport report;
  MergeSession session(output, report, TiffLayout{});
  in.SetSession(&session);
  in.OutputLittleEndian() = false;
  in.EncodeNumber("9", 2, true, 0);
  in.EncodeNumber("42", 2, false, 0);
  EXPECT_TRUE(in.PendingBytes().empty());
  EXPECT_EQ(in.DirectByteCount(), 2);
  in.OutputLittleEndian() = true;
  in.EncodeNumber("42", 2, false, 1);
  EXPECT_EQ(in.DirectByteCount(), 5);
  output.Commit();
  in.SetSession(nullptr);
  EXPECT_EQ(test::ReadFile(dir / "out"), Bytes({0, 0x2A, 0x2A, 0, 0}));
}

TEST_F(CodecTest, DecodesInTheInputByteOrder) {
  std::int16_t n = 2;
  in.InputLittleEndian() = true;
  EXPECT_EQ(in.DecodeNumber(Bytes({1, 2}), n), 513u);
  in.InputLittleEndian() = false;
  EXPECT_EQ(in.DecodeNumber(Bytes({1, 2}), n), 258u);
}

TEST_F(CodecTest, DecodeWidthZeroMeansFourAndExtraBytesAreIgnored) {
  std::int16_t n = 0;
  in.InputLittleEndian() = true;
  EXPECT_EQ(in.DecodeNumber(Bytes({8, 0, 0, 0, 0xFF}), n), 8u);
  EXPECT_EQ(n, 4);
}

TEST_F(CodecTest, DecodeRejectsShortInputAndWidthsAboveFour) {
  std::int16_t n = 4;
  EXPECT_THROW(in.DecodeNumber(Bytes({0, 0x2A}), n), std::invalid_argument);
  n = 5;
  EXPECT_THROW(in.DecodeNumber(Bytes({1, 2, 3, 4, 5}), n), std::invalid_argument);
  n = -1;
  EXPECT_THROW(in.DecodeNumber(Bytes({1}), n), std::invalid_argument);
}

TEST_F(CodecTest, HexDigitsAreUppercaseWithoutLeadingZeros) {
  EXPECT_EQ(in.ToHexDigits(0), "0");
  EXPECT_EQ(in.ToHexDigits(15), "F");
  EXPECT_EQ(in.ToHexDigits(16), "10");
  EXPECT_EQ(in.ToHexDigits(4096), "1000");
  EXPECT_EQ(in.ToHexDigits(2147483647), "7FFFFFFF");
  EXPECT_EQ(in.ToHexDigits(4294967295.0), "FFFFFFFF");
  EXPECT_EQ(in.ToHexDigits(2.5), "2");  // ties go to the even integer
  EXPECT_THROW(in.ToHexDigits(4294967296.0), std::overflow_error);
  EXPECT_THROW(in.ToHexDigits(-1), std::overflow_error);
  EXPECT_EQ(in.HexDigit(10), "A");
  EXPECT_EQ(in.HexDigit(16), "");
  EXPECT_EQ(in.HexDigit(-1), "");
}

TEST_F(CodecTest, SwapGroupsReversesEachGroupAndKeepsAPartialTail) {
  EXPECT_EQ(in.SwapGroups(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), 4), Bytes({4, 3, 2, 1, 8, 7, 6, 5}));
  EXPECT_EQ(in.SwapGroups(Bytes({1, 2, 3, 4, 5, 6}), 2), Bytes({2, 1, 4, 3, 6, 5}));
  EXPECT_EQ(in.SwapGroups("", 4), "");
  // No byte is lost: a trailing partial group stays as it is.
  EXPECT_EQ(in.SwapGroups(Bytes({1, 2, 3, 4, 5, 6}), 4), Bytes({4, 3, 2, 1, 5, 6}));
  EXPECT_THROW(in.SwapGroups(Bytes({1}), 0), std::domain_error);
}

TEST(MergerState, ANewObjectStartsEmpty) {
  MergerInternals in;
  EXPECT_EQ(in.TypeCount(), 0);
  for (const auto size : in.TypeSizes()) EXPECT_EQ(size, 0);
  EXPECT_TRUE(in.PendingBytes().empty());
  EXPECT_EQ(in.OutputPosition(), 0);
  EXPECT_FALSE(in.InputLittleEndian());
  EXPECT_EQ(Version(), "1.0.4");
}

}  // namespace
}  // namespace vellox
