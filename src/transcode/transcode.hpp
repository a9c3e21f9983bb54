// Lossless transcoding of one compressed strip or tile for a change of byte
// order: the piece is decompressed, each sample (or, under horizontal
// differencing, each difference) is put in the output's byte order, and the
// piece is compressed again with the same compression and predictor. It
// streams in fixed-size chunks, so memory does not grow with the piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/failure.hpp"

namespace vellox::transcode {

// How one strip or tile is stored.
struct PieceFormat {
  std::uint32_t Compression = 1;  // 5 LZW, 8 or 32946 Deflate, 32773 PackBits
  std::uint32_t Predictor = 1;    // 1 none, 2 horizontal differencing, 3 floating point
  std::size_t SampleBytes = 2;    // the unit whose bytes are reversed: 1, 2, 4 or 8
  std::size_t RowSamples = 0;     // samples in one row of the piece (width x samples per pixel when chunky)
  std::size_t Stride = 1;         // samples per pixel when chunky, else 1: the distance predictor 2 differences
                                  // over; reversing each difference's bytes does not depend on it
  std::uint64_t Rows = 0;         // rows in the piece
  bool FromLittleEndian = false;  // the input file's byte order
  bool ToLittleEndian = true;     // the output's
};

// Where compressed bytes come from, in chunks of the reader's choosing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `most` bytes of `to`; returns how many, 0 only at the end.
  virtual std::size_t Read(char* to, std::size_t most) = 0;
};

// Where the compressed bytes of the result go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(const char* from, std::size_t length) = 0;
};

// Compressed data that does not decode to exactly the piece's samples. An
// input fault: it ends the page, not the merge.
class TranscodeError : public InputFault {
 public:
  explicit TranscodeError(const std::string& message) : InputFault(message) {}
};

// Whether the stored bytes of a page so compressed and predicted, with
// samples of `sampleBytes` bytes, differ between the two byte orders. The
// floating-point predictor (under the codecs whose readers apply predictors:
// LZW, Deflate, LZMA, Zstandard) stores each row as byte planes, most
// significant first, whatever the file's byte order, so its pieces do not;
// nor do those of compressions that code pixels rather than sample bytes
// (the JPEG family, WebP).
bool DependsOnByteOrder(std::uint32_t compression, std::uint32_t predictor, std::size_t sampleBytes);

// Whether TranscodePiece handles this compression and predictor. PackBits
// readers ignore the predictor, so its pieces are transcoded as plain
// samples whatever the tag says.
bool CanTranscode(std::uint32_t compression, std::uint32_t predictor);

// Decodes the piece from `source`, puts its samples in the output's byte
// order and encodes it again with the same compression and predictor into
// `sink`; returns the bytes written. Throws TranscodeError, with the reason,
// when the format cannot be transcoded or the data does not decode to
// exactly RowSamples x Rows samples of SampleBytes bytes. Once the piece is
// complete, what follows is ignored unless it decodes to more bytes: an
// LZW stream without its end code, a damaged Deflate checksum or bytes after
// the end of the code stream are accepted, as readers accept them.
std::uint64_t TranscodePiece(const PieceFormat& format, ByteSource& source, ByteSink& sink);

}  // namespace vellox::transcode
