// A page's image data: which entries point at it, checks that every piece
// lies inside the input, whether its samples need their bytes reversed for
// the output's byte order, and the copy itself, streamed in bounded chunks.
#include <algorithm>
#include <optional>

#include "codec/endian.hpp"
#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

// One piece of the input, read in bounded chunks for the transcoder.
class InputRange : public transcode::ByteSource {
 public:
  InputRange(const platform::InputFile& input, std::uint64_t offset, std::uint64_t length)
      : input_(input), at_(offset), left_(length) {}
  std::size_t Read(char* to, std::size_t most) override {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(left_, most));
    if (step != 0 && !input_.ReadAt(at_, to, step)) throw PageError("cannot read image data");
    at_ += step;
    left_ -= step;
    return step;
  }

 private:
  const platform::InputFile& input_;
  std::uint64_t at_;
  std::uint64_t left_;
};

bool IsIntegerType(std::uint32_t type) {
  return type == field::kByte || type == field::kShort || type == field::kLong || type == field::kSByte ||
         type == field::kSShort || type == field::kSLong;
}

// Compressions whose streams do not depend on the file's byte order.
bool IsByteOrderFreeCompression(std::uint64_t compression) {
  return compression == 6 || compression == 7 || compression == 34712 || compression == 50001 || compression == 50002;
}

}  // namespace

// The values of an integer entry, each read with its own type's size.
std::vector<std::uint64_t> PageCopier::Values(const Entry& entry) const {
  const std::size_t size = TypeSize(entry.Type);
  const bool integer = size != 0 && (size <= 4 || entry.Type == field::kLong8 || entry.Type == field::kIfd8);
  if (!integer) throw PageError("entry " + std::to_string(entry.Tag) + " is not an integer");
  std::vector<std::uint64_t> values;
  values.reserve(static_cast<std::size_t>(entry.Count));
  for (std::size_t i = 0; i < entry.Count; ++i) values.push_back(Decode(entry.Bytes, i * size, size));
  return values;
}

ImagePlan PageCopier::PlanImageData(const Directory& directory) const {
  ImagePlan plan;
  int rows[4] = {-1, -1, -1, -1};  // 273, 279, 324, 325
  constexpr std::uint32_t kPaired[4] = {tag::kStripOffsets, tag::kStripByteCounts, tag::kTileOffsets,
                                        tag::kTileByteCounts};
  for (std::size_t k = 0; k < directory.Entries.size(); ++k) {
    const std::uint32_t number = directory.Entries[k].Tag;
    for (int i = 0; i < 4; ++i) {
      if (number != kPaired[i]) continue;
      if (rows[i] >= 0) throw PageError("tag " + std::to_string(number) + " occurs twice");
      rows[i] = static_cast<int>(k);
    }
  }
  if (rows[0] >= 0 && rows[2] >= 0) throw PageError("a page with both strips and tiles");
  plan.OffsetsRow = rows[0] >= 0 ? rows[0] : rows[2];
  const int countsRow = rows[0] >= 0 ? rows[1] : rows[3];
  plan.CountsRow = countsRow;

  if (plan.OffsetsRow >= 0) {
    if (countsRow < 0) throw PageError("strip or tile offsets without byte counts");
    const Entry& offsets = directory.Entries[static_cast<std::size_t>(plan.OffsetsRow)];
    const Entry& counts = directory.Entries[static_cast<std::size_t>(countsRow)];
    for (const Entry* entry : {&offsets, &counts}) {
      if (entry->Type != field::kShort && entry->Type != field::kLong && entry->Type != field::kLong8)
        throw PageError("strip or tile entry is not SHORT, LONG or LONG8");
    }
    plan.Offsets = Values(offsets);
    plan.Lengths = Values(counts);
    if (plan.Offsets.size() != plan.Lengths.size()) throw PageError("strip or tile counts differ");
  }
  plan.HasImageData = !plan.Offsets.empty();
  for (std::size_t i = 0; i < plan.Offsets.size(); ++i) {
    if (!RangeInside(input_.Size(), plan.Offsets[i], plan.Lengths[i]))
      throw PageError("image data lies outside the file");
    plan.TotalBytes += plan.Lengths[i];
  }
  // The image data begins with the input byte before the first piece.
  if (plan.HasImageData && plan.Offsets.front() == 0) throw PageError("image data at offset 0");
  return plan;
}

// The values of an integer entry of the directory, `absent` when it has
// none, or nothing when its type is not an integer one or it is empty.
std::optional<std::vector<std::uint64_t>> PageCopier::IntegerValues(const Directory& directory, std::uint32_t number,
                                                                    std::uint64_t absent) const {
  const auto row = directory.Find(number);
  if (!row) return std::vector<std::uint64_t>{absent};
  const Entry& entry = directory.Entries[*row];
  if (!IsIntegerType(entry.Type) || entry.Count == 0) return std::nullopt;
  return Values(entry);
}

// Where image data that follows no other piece begins: uncompressed samples
// of 2, 4 or 8 bytes at a multiple of their size, as readers that map the
// file into memory need; anything else on a word boundary.
std::uint64_t PageCopier::ImageAlignment(const Directory& directory) const {
  const auto bits = IntegerValues(directory, tag::kBitsPerSample, 1);
  const auto compression = IntegerValues(directory, tag::kCompression, 1);
  if (!bits || !compression || compression->front() != 1) return kWordAlignment;
  const std::uint64_t width = bits->front();
  const bool uniform = std::all_of(bits->begin(), bits->end(), [width](std::uint64_t w) { return w == width; });
  const std::uint64_t bytes = width / 8;
  if (!uniform || width % 8 != 0 || bytes < 2 || (bytes & (bytes - 1)) != 0) return kWordAlignment;
  return std::min<std::uint64_t>(bytes, 8);
}

// Uncompressed samples of 16, 32 or 64 bits are stored in their file's byte
// order; when that differs from the output's they are reversed while they
// are copied. Says how, or why a page cannot be copied faithfully.
SampleOrder PageCopier::PlanSampleOrder(const Directory& directory, const ImagePlan& image) const {
  if (owner_.InputLittleEndian == owner_.OutputLittleEndian || image.OffsetsRow < 0 || image.Offsets.empty()) return {};

  const auto bits = IntegerValues(directory, tag::kBitsPerSample, 1);
  const auto compression = IntegerValues(directory, tag::kCompression, 1);
  if (!bits || !compression) return {0, {}, "BitsPerSample or Compression is not an integer"};

  const bool byteOrderFree =
      std::all_of(bits->begin(), bits->end(), [](std::uint64_t w) { return w <= 8 || w % 8 != 0; });
  if (byteOrderFree || IsByteOrderFreeCompression(compression->front())) return {};

  const std::uint64_t width = bits->front();
  const bool uniform = std::all_of(bits->begin(), bits->end(), [width](std::uint64_t w) { return w == width; });
  const bool wordSamples = uniform && (width == 16 || width == 32 || width == 64);
  if (wordSamples && compression->front() != 1) {
    // Stored bytes that are the same in both byte orders (the floating-point
    // predictor's byte planes) are copied as they are.
    const auto predictor = IntegerValues(directory, tag::kPredictor, 1);
    if (predictor && compression->front() <= UINT32_MAX && predictor->front() <= UINT32_MAX &&
        !transcode::DependsOnByteOrder(static_cast<std::uint32_t>(compression->front()),
                                       static_cast<std::uint32_t>(predictor->front()),
                                       static_cast<std::size_t>(width / 8)))
      return {};
    if (auto format = PlanTranscoding(directory, compression->front(), width)) return {0, std::move(format), {}};
  }
  if (compression->front() != 1 || !wordSamples)
    return {0,
            {},
            "its " + std::to_string(width) + "-bit samples (compression " + std::to_string(compression->front()) +
                ") cannot be converted to the output's byte order"};

  std::size_t swapWidth = static_cast<std::size_t>(width / 8);
  const auto format = IntegerValues(directory, tag::kSampleFormat, 1);
  if (format && (format->front() == 5 || format->front() == 6)) swapWidth /= 2;  // complex: each half
  return {swapWidth, {}, {}};
}

// How the pieces of a page with compressed samples of `width` bits are
// stored, when its codec and predictor can be decoded and encoded again;
// nothing when they cannot, or the page's dimensions make no sense.
std::optional<transcode::PieceFormat> PageCopier::PlanTranscoding(const Directory& directory, std::uint64_t compression,
                                                                  std::uint64_t width) const {
  const auto predictor = IntegerValues(directory, tag::kPredictor, 1);
  const auto samples = IntegerValues(directory, tag::kSamplesPerPixel, 1);
  const auto planar = IntegerValues(directory, tag::kPlanarConfiguration, 1);
  const auto format = IntegerValues(directory, tag::kSampleFormat, 1);
  const bool tiled = directory.Find(tag::kTileOffsets).has_value();
  const auto across = IntegerValues(directory, tiled ? tag::kTileWidth : tag::kImageWidth, 0);
  if (!predictor || !samples || !planar || !across || !format) return std::nullopt;
  constexpr std::uint64_t kMaxRowPixels = 1u << 24;  // wider rows than any TIFF reader accepts
  if (compression > UINT32_MAX || predictor->front() > UINT32_MAX || samples->front() == 0 ||
      samples->front() > 0xFFFF || across->front() == 0 || across->front() > kMaxRowPixels)
    return std::nullopt;
  const auto codec = static_cast<std::uint32_t>(compression);
  const auto differencing = static_cast<std::uint32_t>(predictor->front());
  if (!transcode::CanTranscode(codec, differencing)) return std::nullopt;

  transcode::PieceFormat piece;
  piece.Compression = codec;
  piece.Predictor = differencing;
  piece.SampleBytes = static_cast<std::size_t>(width / 8);
  if (format->front() == 5 || format->front() == 6) piece.SampleBytes /= 2;  // complex: each half
  const bool chunky = planar->front() != 2;
  piece.Stride = chunky ? static_cast<std::size_t>(samples->front()) : 1;
  // A row's samples counted in 64 bits, and refused when a row would not
  // fit in memory on a 32-bit machine.
  const std::uint64_t rowSamples = across->front() * piece.Stride * (width / 8 / piece.SampleBytes);
  constexpr std::uint64_t kMaxRowSamples = 1u << 28;
  if (rowSamples > kMaxRowSamples) return std::nullopt;
  piece.RowSamples = static_cast<std::size_t>(rowSamples);
  piece.FromLittleEndian = owner_.InputLittleEndian;
  piece.ToLittleEndian = owner_.OutputLittleEndian;
  return piece;
}

// Rows of piece `piece`: a tile's full height; a strip's rows per strip,
// fewer in the last strip of each plane.
std::uint64_t PageCopier::PieceRows(const Directory& directory, std::size_t piece) const {
  if (directory.Find(tag::kTileOffsets)) {
    const auto rows = IntegerValues(directory, tag::kTileLength, 0);
    return rows ? rows->front() : 0;
  }
  const auto height = IntegerValues(directory, tag::kImageLength, 0);
  const auto perStrip = IntegerValues(directory, tag::kRowsPerStrip, UINT32_MAX);
  if (!height || !perStrip || height->front() == 0 || perStrip->front() == 0) return 0;
  const std::uint64_t rows = std::min(perStrip->front(), height->front());
  const std::uint64_t stripsPerPlane = (height->front() + rows - 1) / rows;
  const std::uint64_t first = (piece % stripsPerPlane) * rows;
  return std::min(rows, height->front() - first);
}

// Writes a transcoded page's image data to `sink` from output offset `at`:
// the input byte before the first piece, then each piece decoded, put in the
// output's byte order and encoded again, on a word boundary; records where
// each went and its new length. Returns where the directory then begins.
std::uint64_t PageCopier::TranscodeImage(const Directory& directory, ImagePlan& image, std::uint64_t at,
                                         transcode::ByteSink& sink) {
  const std::string leading = ReadInput(image.Offsets.front() - 1, 1, "image data");
  sink.Write(leading.data(), leading.size());
  at += 1;
  static constexpr char kZeros[8] = {};
  image.WrittenOffsets.clear();
  image.TotalBytes = 0;
  for (std::size_t i = 0; i < image.Offsets.size(); ++i) {
    const std::uint64_t pad = AlignUp(at, kWordAlignment) - at;
    sink.Write(kZeros, static_cast<std::size_t>(pad));
    at += pad;
    transcode::PieceFormat format = *image.Transcode;
    format.Rows = PieceRows(directory, i);
    InputRange source(input_, image.Offsets[i], image.Lengths[i]);
    const std::uint64_t length = transcode::TranscodePiece(format, source, sink);
    image.WrittenOffsets.push_back(at);
    image.Lengths[i] = length;
    image.TotalBytes += length;
    at += length;
  }
  const std::uint64_t directoryAt = AlignUp(at, out_.DirectoryAlignment());
  sink.Write(kZeros, static_cast<std::size_t>(directoryAt - at));
  return directoryAt;
}

// The output offsets of the strips or tiles copied after the leading byte.
std::vector<std::uint64_t> PageCopier::ImagePieceOffsets(const DirectoryPlan& plan) const {
  const ImagePlan& image = plan.Image;
  if (image.Transcode) return image.WrittenOffsets;
  std::vector<std::uint64_t> offsets;
  offsets.reserve(image.Lengths.size());
  std::uint64_t at = plan.EntriesEnd() + plan.OutOfLineLength + 1;
  for (std::size_t i = 0; i < image.Lengths.size(); ++i) {
    if (!image.Pads.empty()) at += image.Pads[i];
    offsets.push_back(at);
    at += image.Lengths[i];
  }
  return offsets;
}

void PageCopier::CopyImageData(const ImagePlan& plan) {
  if (!plan.HasImageData || plan.Transcode) return;  // transcoded pieces are written before the directory
  platform::OutputFile& output = session_.Output;
  const std::uint64_t leading = plan.Offsets.front() - 1ull;

  const std::size_t block = session_.CloneBlock;
  auto copyRun = [this, &output, &plan, block](std::uint64_t start, std::uint64_t length) {
    if (block != 0 && length >= kCloneMinBytes && output.Position() % block == start % block)
      output.AppendCloned(input_, start, length, block);
    else if (start + length <= head_.size())
      output.Append(head_.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length)));
    else if (const std::optional<std::string_view> near = Nearby(start, length))
      output.Append(*near);
    else
      output.AppendFrom(input_, start, length);
  };
  if (plan.SwapWidth < 2) {
    // Pieces that lie back to back in the input are copied in one go; the
    // padding placed before a piece goes before it.
    std::uint64_t runStart = leading;
    std::uint64_t runEnd = leading + 1;
    for (std::size_t i = 0; i < plan.Offsets.size(); ++i) {
      const std::uint64_t pad = plan.Pads.empty() ? 0 : plan.Pads[i];
      if (pad != 0) {
        copyRun(runStart, runEnd - runStart);
        output.Append(std::string(static_cast<std::size_t>(pad), '\0'));
        runStart = plan.Offsets[i];
        runEnd = runStart;
      }
      if (plan.Lengths[i] == 0) continue;
      if (plan.Offsets[i] != runEnd) {
        copyRun(runStart, runEnd - runStart);
        runStart = plan.Offsets[i];
        runEnd = runStart;
      }
      runEnd += plan.Lengths[i];
    }
    copyRun(runStart, runEnd - runStart);
    return;
  }

  output.Append(ReadInput(leading, 1, "image data"));
  // Chunks are a whole number of samples, so only a partial sample at the
  // very end of a strip stays as it is.
  const std::uint64_t chunkLimit = platform::kCopyChunkBytes;
  std::string chunk;
  for (std::size_t i = 0; i < plan.Offsets.size(); ++i) {
    if (!plan.Pads.empty() && plan.Pads[i] != 0)
      output.Append(std::string(static_cast<std::size_t>(plan.Pads[i]), '\0'));
    std::uint64_t at = plan.Offsets[i];
    std::uint64_t left = plan.Lengths[i];
    while (left > 0) {
      const std::uint64_t step = std::min(left, chunkLimit);
      chunk.resize(static_cast<std::size_t>(step));
      if (!input_.ReadAt(at, chunk.data(), chunk.size())) throw PageError("cannot read image data");
      codec::ReverseGroups(chunk.data(), chunk.size(), plan.SwapWidth);
      output.Append(chunk);
      at += step;
      left -= step;
    }
  }
}

}  // namespace vellox
