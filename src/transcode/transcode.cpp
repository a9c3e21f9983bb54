// The transcoding pipeline: decode a chunk, put its samples in the output's
// byte order, encode it; chunk by chunk, so memory stays fixed whatever the
// size of the piece.
#include "transcode/transcode.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "transcode/codecs.hpp"

namespace vellox::transcode {
namespace {

constexpr std::uint32_t kLzw = 5;
constexpr std::uint32_t kDeflate = 8;
constexpr std::uint32_t kOldDeflate = 32946;
constexpr std::uint32_t kPackBits = 32773;
constexpr std::uint32_t kFloatingPointPredictor = 3;

// Decoded bytes per step: a multiple of every sample size, so each chunk
// holds whole samples.
constexpr std::size_t kChunkBytes = 64 * 1024;

// Compressions whose readers apply the predictor; PackBits readers ignore
// it, so PackBits pieces hold plain samples whatever the tag says.
bool AppliesPredictor(std::uint32_t compression) {
  return compression == kLzw || compression == kDeflate || compression == kOldDeflate ||
         compression == 34925 /* LZMA */ || compression == 50000 /* Zstandard */;
}

// Compressions that code pixels, not the bytes of samples.
bool CodesPixels(std::uint32_t compression) {
  return compression == 6 || compression == 7 || compression == 34712 || compression == 50001 || compression == 50002;
}

const char* CodecName(std::uint32_t compression) {
  switch (compression) {
    case kLzw: return "LZW";
    case kPackBits: return "PackBits";
    default: return "Deflate";
  }
}

std::unique_ptr<Decoder> MakeDecoder(std::uint32_t compression, ByteSource& source) {
  switch (compression) {
    case kLzw: return MakeLzwDecoder(source);
    case kPackBits: return MakePackBitsDecoder(source);
    default: return MakeDeflateDecoder(source);
  }
}

std::unique_ptr<Encoder> MakeEncoder(std::uint32_t compression, OutputBuffer& output, std::uint64_t rowBytes) {
  switch (compression) {
    case kLzw: return MakeLzwEncoder(output);
    case kPackBits: return MakePackBitsEncoder(output, rowBytes);
    default: return MakeDeflateEncoder(output);
  }
}

std::uint64_t CheckedProduct(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    throw TranscodeError("the piece's size does not fit in 64 bits");
  return a * b;
}

// "2048 bytes (64 x 16 16-bit samples)"
std::string Describe(const PieceFormat& format, std::uint64_t bytes) {
  return std::to_string(bytes) + " bytes (" + std::to_string(format.RowSamples) + " x " + std::to_string(format.Rows) +
         " " + std::to_string(format.SampleBytes * 8) + "-bit samples)";
}

void ReverseEachSample(char* data, std::size_t length, std::size_t sampleBytes) {
  for (std::size_t at = 0; at + sampleBytes <= length; at += sampleBytes)
    std::reverse(data + at, data + at + sampleBytes);
}

// Whether data goes on to decode after the piece is complete. Readers stop
// reading there, so what follows and cannot be decoded (a damaged Deflate
// checksum, a stray LZW code) does not spoil the piece; more samples do.
bool DecodesPastTheEnd(Decoder& decoder, char* scratch) {
  try {
    return decoder.Decode(scratch, 1) != 0;
  } catch (const TranscodeError&) {
    return false;
  }
}

void CheckFormat(const PieceFormat& format) {
  if (!CanTranscode(format.Compression, format.Predictor))
    throw TranscodeError("compression " + std::to_string(format.Compression) + " with predictor " +
                         std::to_string(format.Predictor) + " cannot be transcoded");
  const std::size_t bytes = format.SampleBytes;
  if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8)
    throw TranscodeError(std::to_string(bytes * 8) + "-bit samples cannot be transcoded");
}

}  // namespace

bool DependsOnByteOrder(std::uint32_t compression, std::uint32_t predictor, std::size_t sampleBytes) {
  if (sampleBytes < 2 || CodesPixels(compression)) return false;
  return !(predictor == kFloatingPointPredictor && AppliesPredictor(compression));
}

bool CanTranscode(std::uint32_t compression, std::uint32_t predictor) {
  const bool codec =
      compression == kLzw || compression == kDeflate || compression == kOldDeflate || compression == kPackBits;
  return codec && predictor >= 1 && predictor <= kFloatingPointPredictor;
}

std::uint64_t TranscodePiece(const PieceFormat& format, ByteSource& source, ByteSink& sink) {
  CheckFormat(format);
  const std::uint64_t rowBytes = CheckedProduct(format.RowSamples, format.SampleBytes);
  const std::uint64_t total = CheckedProduct(rowBytes, format.Rows);
  // Without a predictor, or with horizontal differencing, the piece holds
  // integers of SampleBytes bytes (samples, or differences modulo 2^bits)
  // in the file's byte order; reversing each one is the whole change.
  const bool reverse = format.FromLittleEndian != format.ToLittleEndian &&
                       DependsOnByteOrder(format.Compression, format.Predictor, format.SampleBytes);
  static_assert(kChunkBytes % 8 == 0);

  OutputBuffer output(sink);
  const auto decoder = MakeDecoder(format.Compression, source);
  const auto encoder = MakeEncoder(format.Compression, output, rowBytes);
  std::vector<char> chunk(kChunkBytes);
  for (std::uint64_t done = 0; done < total;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - done));
    const std::size_t got = decoder->Decode(chunk.data(), want);
    done += got;
    if (got < want)
      throw TranscodeError(std::string(CodecName(format.Compression)) + " data ends after " + std::to_string(done) +
                           " of the piece's " + Describe(format, total));
    if (reverse) ReverseEachSample(chunk.data(), got, format.SampleBytes);
    encoder->Encode(chunk.data(), got);
  }
  if (DecodesPastTheEnd(*decoder, chunk.data()))
    throw TranscodeError(std::string(CodecName(format.Compression)) + " data decodes to more than the piece's " +
                         Describe(format, total));
  encoder->Finish();
  output.Flush();
  return output.Written();
}

}  // namespace vellox::transcode
