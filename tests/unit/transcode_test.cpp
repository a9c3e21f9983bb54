// Transcoding a compressed piece for the other byte order: libtiff writes a
// strip in one byte order, TranscodePiece converts it, and libtiff must
// decode the result, stored in a file of the other byte order, to the same
// samples as the input. Damaged data must fail with a reason.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/libtiff_messages.hpp"
#include "support/temp_dir.hpp"
#include "transcode/transcode.hpp"

namespace vellox::transcode {
namespace {

// Hands out its bytes a few at a time, so the codecs refill their buffers
// in the middle of codes and runs.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::size_t Read(char* to, std::size_t most) override {
    const std::size_t step = std::min({most, std::size_t{7}, bytes_.size() - at_});
    std::memcpy(to, bytes_.data() + at_, step);
    at_ += step;
    return step;
  }

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

class StringSink final : public ByteSink {
 public:
  void Write(const char* from, std::size_t length) override { bytes.append(from, length); }
  std::string bytes;
};

constexpr std::uint32_t kRows = 41;

// A strip, the whole image. The default is odd in width; its 64-bit pieces
// are larger than the transcoder's 64 KiB chunk, and its noisy samples fill
// the LZW table several times.
struct Piece {
  std::uint16_t Compression = COMPRESSION_LZW;
  std::uint16_t Predictor = PREDICTOR_NONE;
  std::uint16_t Format = SAMPLEFORMAT_UINT;
  std::uint16_t Bits = 16;
  bool LittleEndian = true;
  std::uint32_t Width = 67;
  std::uint32_t Rows = kRows;
  std::uint16_t SamplesPerPixel = 3;

  std::size_t RowSamples() const { return std::size_t{Width} * SamplesPerPixel; }
};

std::string Name(const Piece& piece) {
  const char* codec = piece.Compression == COMPRESSION_LZW             ? "lzw"
                      : piece.Compression == COMPRESSION_ADOBE_DEFLATE ? "deflate"
                      : piece.Compression == COMPRESSION_DEFLATE       ? "olddeflate"
                                                                       : "packbits";
  const char* format = piece.Format == SAMPLEFORMAT_UINT ? "uint" : piece.Format == SAMPLEFORMAT_INT ? "int" : "float";
  return std::string(codec) + "_pred" + std::to_string(piece.Predictor) + "_" + format + std::to_string(piece.Bits) +
         (piece.LittleEndian ? "_le" : "_be");
}

void PrintTo(const Piece& piece, std::ostream* out) {
  *out << Name(piece);
}

// From the piece's byte order to the other, or back.
PieceFormat FormatOf(const Piece& piece, bool fromLittleEndian) {
  return {.Compression = piece.Compression,
          .Predictor = piece.Predictor,
          .SampleBytes = piece.Bits / 8u,
          .RowSamples = piece.RowSamples(),
          .Stride = piece.SamplesPerPixel,
          .Rows = piece.Rows,
          .FromLittleEndian = fromLittleEndian,
          .ToLittleEndian = !fromLittleEndian};
}

// Samples in the machine's byte order: smooth, so the predictors have
// something to do, with noise in every byte, so that a sample in the wrong
// byte order reads as another number.
std::string Samples(const Piece& piece) {
  const std::size_t count = piece.RowSamples() * piece.Rows;
  const std::size_t size = piece.Bits / 8u;
  std::string bytes(count * size, '\0');
  std::uint32_t noise = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    noise = noise * 1103515245u + 12345u;
    const double smooth = static_cast<double>(i % piece.RowSamples()) * 0.5 + static_cast<double>(i) * 1e-3;
    char* at = bytes.data() + i * size;
    if (piece.Format == SAMPLEFORMAT_IEEEFP && size == 4) {
      const auto value = static_cast<float>(smooth - 20.0 + (noise >> 24) / 300.0);
      std::memcpy(at, &value, 4);
    } else if (piece.Format == SAMPLEFORMAT_IEEEFP && size == 8) {
      const double value = smooth * 1e5 - 3e6 + (noise >> 8) / 7.0;
      std::memcpy(at, &value, 8);
    } else {
      // Integers, and the bits of half floats (exponent 14 to 17).
      std::uint64_t value = static_cast<std::uint64_t>(smooth * 97.0) * 0x0101010101010101u ^ (noise >> 16);
      if (piece.Format == SAMPLEFORMAT_IEEEFP) value = (14u + i % 4u) << 10 | (noise >> 20 & 0x3FFu);
      std::memcpy(at, &value, size);  // the low bytes: this test runs on little-endian machines
    }
  }
  return bytes;
}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

Tiff Create(const std::string& path, const Piece& piece, bool littleEndian) {
  Tiff tiff(TIFFOpen(path.c_str(), littleEndian ? "wl" : "wb"));
  if (!tiff) throw std::runtime_error("libtiff cannot create " + path);
  TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, piece.Width);
  TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, piece.Rows);
  TIFFSetField(tiff.get(), TIFFTAG_ROWSPERSTRIP, piece.Rows);
  TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, piece.Bits);
  TIFFSetField(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, piece.SamplesPerPixel);
  TIFFSetField(tiff.get(), TIFFTAG_SAMPLEFORMAT, piece.Format);
  TIFFSetField(tiff.get(), TIFFTAG_PHOTOMETRIC, piece.SamplesPerPixel == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff.get(), TIFFTAG_COMPRESSION, piece.Compression);
  if (piece.Predictor != PREDICTOR_NONE) TIFFSetField(tiff.get(), TIFFTAG_PREDICTOR, piece.Predictor);
  return tiff;
}

// The strip libtiff writes for the piece's samples: its compressed bytes.
std::string CompressedByLibtiff(const test::TempDir& dir, const Piece& piece, std::string samples) {
  const std::string path = dir / "input.tif";
  {
    Tiff tiff = Create(path, piece, piece.LittleEndian);
    if (TIFFWriteEncodedStrip(tiff.get(), 0, samples.data(), static_cast<tmsize_t>(samples.size())) < 0)
      throw std::runtime_error("libtiff cannot write " + Name(piece));
  }
  Tiff tiff(TIFFOpen(path.c_str(), "r"));
  std::string raw(static_cast<std::size_t>(TIFFRawStripSize64(tiff.get(), 0)), '\0');
  if (TIFFReadRawStrip(tiff.get(), 0, raw.data(), static_cast<tmsize_t>(raw.size())) !=
      static_cast<tmsize_t>(raw.size()))
    throw std::runtime_error("libtiff cannot read back " + Name(piece));
  return raw;
}

// The samples libtiff decodes from `compressed`, stored as the strip of a
// file in the given byte order. It reads row by row, as readers of
// scanlines do, so a PackBits run across rows shows; any complaint (a
// strip without its end code, say) is a failure.
std::string DecodedByLibtiff(const test::TempDir& dir, const Piece& piece, bool littleEndian, std::string compressed) {
  const std::string path = dir / "decode.tif";
  {
    Tiff tiff = Create(path, piece, littleEndian);
    if (TIFFWriteRawStrip(tiff.get(), 0, compressed.data(), static_cast<tmsize_t>(compressed.size())) < 0)
      throw std::runtime_error("libtiff cannot write the raw strip of " + Name(piece));
  }
  const test::LibtiffMessageLog libtiff;
  Tiff tiff(TIFFOpen(path.c_str(), "r"));
  const auto rowBytes = static_cast<std::size_t>(TIFFScanlineSize(tiff.get()));
  std::string samples(rowBytes * piece.Rows, '\0');
  for (std::uint32_t row = 0; row < piece.Rows; ++row) {
    if (TIFFReadScanline(tiff.get(), samples.data() + row * rowBytes, row, 0) < 0 || !libtiff.Empty())
      throw std::runtime_error("libtiff cannot decode " + Name(piece) + ": " + libtiff.Text());
  }
  return samples;
}

std::string Transcode(const PieceFormat& format, const std::string& compressed) {
  StringSource source(compressed);
  StringSink sink;
  const std::uint64_t written = TranscodePiece(format, source, sink);
  EXPECT_EQ(written, sink.bytes.size());
  return sink.bytes;
}

// Transcodes libtiff's strip of `samples` to the other byte order and back:
// libtiff must decode both results, each in its file's byte order, to what
// it decodes from its own strip.
void ExpectTranscodedBothWays(const Piece& piece, std::string samples) {
  const test::TempDir dir;
  const test::LibtiffMessageLog quiet;  // libtiff warns when it writes the legacy Deflate number
  const std::string input = CompressedByLibtiff(dir, piece, std::move(samples));
  const std::string expected = DecodedByLibtiff(dir, piece, piece.LittleEndian, input);
  const std::string there = Transcode(FormatOf(piece, piece.LittleEndian), input);
  EXPECT_EQ(DecodedByLibtiff(dir, piece, !piece.LittleEndian, there), expected);
  const std::string back = Transcode(FormatOf(piece, !piece.LittleEndian), there);
  EXPECT_EQ(DecodedByLibtiff(dir, piece, piece.LittleEndian, back), expected);
}

std::vector<Piece> AllPieces() {
  using List = std::initializer_list<std::uint16_t>;
  std::vector<Piece> pieces;
  for (const auto compression :
       List{COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS}) {
    for (const auto predictor : List{PREDICTOR_NONE, PREDICTOR_HORIZONTAL, PREDICTOR_FLOATINGPOINT}) {
      // libtiff applies predictors with LZW and Deflate only.
      if (compression == COMPRESSION_PACKBITS && predictor != PREDICTOR_NONE) continue;
      for (const auto format : List{SAMPLEFORMAT_UINT, SAMPLEFORMAT_INT, SAMPLEFORMAT_IEEEFP}) {
        if (predictor == PREDICTOR_FLOATINGPOINT && format != SAMPLEFORMAT_IEEEFP) continue;
        for (const auto bits : List{16, 32, 64})
          for (const bool little : {true, false}) pieces.push_back({compression, predictor, format, bits, little});
      }
    }
  }
  return pieces;
}

class TranscodeTable : public ::testing::TestWithParam<Piece> {};

TEST_P(TranscodeTable, DecodesToTheSameSamplesInTheOtherByteOrder) {
  ExpectTranscodedBothWays(GetParam(), Samples(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Pieces, TranscodeTable, ::testing::ValuesIn(AllPieces()),
                         [](const ::testing::TestParamInfo<Piece>& param) { return Name(param.param); });

// Bytes in which no pair repeats, so that LZW codes each as a literal and
// its table grows by one entry per byte: streams of 254, 766 and 1790 bytes
// end just as the code width grows to 10, 11 and 12 bits, where the width
// of the end code is easy to get wrong.
TEST(TranscodeLzw, StreamsThatEndAsTheCodeWidthGrows) {
  for (const std::uint32_t bytes : {254u, 766u, 1790u}) {
    std::string samples(bytes, '\0');
    for (std::uint32_t i = 0; i < bytes; ++i) samples[i] = static_cast<char>(i % 256 * (i / 256 * 2 + 1));
    ExpectTranscodedBothWays({.Width = bytes / 2, .Rows = 1, .SamplesPerPixel = 1}, samples);
  }
}

struct Damage {
  const char* Name;
  std::uint16_t Compression;
  std::string (*Spoil)(std::string valid);  // from the valid strip of the piece
  std::uint64_t Rows;                       // the piece as the caller describes it
  const char* Reason;                       // nullptr: readers accept it, and so does the transcoder
};

std::string Half(std::string valid) {
  return valid.substr(0, valid.size() / 2);
}
std::string Unchanged(std::string valid) {
  return valid;
}

const Damage kDamages[] = {
    {"lzw_truncated", COMPRESSION_LZW, Half, kRows, "LZW data ends after "},
    {"lzw_too_long", COMPRESSION_LZW, Unchanged, kRows - 1, "LZW data decodes to more than the piece's "},
    // A clear code, then code 300 with an empty table.
    {"lzw_unknown_code", COMPRESSION_LZW, [](std::string) { return std::string("\x80\x4B\x00", 3); }, kRows,
     "LZW data is corrupt: code 300 is not yet in the table"},
    {"lzw_old_style", COMPRESSION_LZW, [](std::string) { return std::string("\x00\x01\x20\x40", 4); }, kRows,
     "old, bit-reversed variant"},
    // The end code's bits are all in the last byte.
    {"lzw_without_end_code", COMPRESSION_LZW, [](std::string valid) { return valid.substr(0, valid.size() - 1); },
     kRows, nullptr},
    {"lzw_garbage_after_end_code", COMPRESSION_LZW, [](std::string valid) { return valid + "\xFF\x12\x34"; }, kRows,
     nullptr},
    {"deflate_truncated", COMPRESSION_ADOBE_DEFLATE, Half, kRows, "Deflate data ends after "},
    {"deflate_too_long", COMPRESSION_ADOBE_DEFLATE, Unchanged, kRows - 1, "Deflate data decodes to more than "},
    {"deflate_garbage", COMPRESSION_ADOBE_DEFLATE, [](std::string) { return std::string(40, '\x55'); }, kRows,
     "Deflate data is corrupt: "},
    {"deflate_bad_checksum", COMPRESSION_ADOBE_DEFLATE,
     [](std::string valid) { return valid.substr(0, valid.size() - 1) + static_cast<char>(~valid.back()); }, kRows,
     nullptr},
    {"packbits_truncated", COMPRESSION_PACKBITS, Half, kRows, "PackBits data ends after "},
    {"packbits_too_long", COMPRESSION_PACKBITS, Unchanged, kRows - 1, "PackBits data decodes to more than "},
    // Four runs of 128 bytes for a piece of 402.
    {"packbits_run_past_the_end", COMPRESSION_PACKBITS,
     [](std::string) { return std::string("\x81\x07\x81\x07\x81\x07\x81\x07", 8); }, 1,
     "PackBits data decodes to more than the piece's 402 bytes (201 x 1 16-bit samples)"},
};

class TranscodeDamage : public ::testing::TestWithParam<Damage> {};

void ExpectRefused(const PieceFormat& format, std::string data, const char* reason) {
  StringSource source(std::move(data));
  StringSink sink;
  try {
    TranscodePiece(format, source, sink);
    ADD_FAILURE() << "no error; expected: " << reason;
  } catch (const TranscodeError& error) {
    EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
    EXPECT_EQ(error.Source(), FailureSource::Input);
  }
}

TEST_P(TranscodeDamage, FailsWithAReasonOrDecodesAsReadersDecodeIt) {
  const Damage& damage = GetParam();
  const Piece piece{.Compression = damage.Compression, .Bits = 16};
  const test::TempDir dir;
  const test::LibtiffMessageLog quiet;
  const std::string data = damage.Spoil(CompressedByLibtiff(dir, piece, Samples(piece)));
  PieceFormat format = FormatOf(piece, piece.LittleEndian);
  format.Rows = damage.Rows;
  if (damage.Reason != nullptr)
    ExpectRefused(format, data, damage.Reason);
  else
    EXPECT_EQ(DecodedByLibtiff(dir, piece, !piece.LittleEndian, Transcode(format, data)), Samples(piece));
}

INSTANTIATE_TEST_SUITE_P(Data, TranscodeDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& param) { return std::string(param.param.Name); });

TEST(TranscodeDamage, FormatsItCannotTranscodeFailWithAReason) {
  ExpectRefused({.Compression = COMPRESSION_ZSTD, .RowSamples = 4, .Rows = 1}, "",
                "compression 50000 with predictor 1 cannot");
  ExpectRefused({.Compression = COMPRESSION_LZW, .SampleBytes = 3, .RowSamples = 4, .Rows = 1}, "",
                "24-bit samples cannot");
  ExpectRefused(
      {.Compression = COMPRESSION_LZW, .SampleBytes = 8, .RowSamples = std::size_t{1} << 31, .Rows = 1ull << 40}, "",
      "does not fit in 64 bits");
}

}  // namespace
}  // namespace vellox::transcode
