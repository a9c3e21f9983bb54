#include "support/libtiff_checker.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

#include "support/libtiff_fixtures.hpp"
#include "support/libtiff_messages.hpp"

namespace vellox::test {
namespace {

int Descriptor(thandle_t handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

tmsize_t ReadProc(thandle_t handle, tdata_t data, tmsize_t size) {
  return ::read(Descriptor(handle), data, static_cast<std::size_t>(size));
}
tmsize_t RefuseWrite(thandle_t, tdata_t, tmsize_t) {
  return -1;
}
toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  return static_cast<toff_t>(::lseek(Descriptor(handle), static_cast<off_t>(offset), whence));
}
int CloseProc(thandle_t handle) {
  return ::close(Descriptor(handle));
}
toff_t SizeProc(thandle_t handle) {
  struct stat st {};
  return ::fstat(Descriptor(handle), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}
int NoMap(thandle_t, tdata_t*, toff_t*) {
  return 0;
}
void NoUnmap(thandle_t, tdata_t, toff_t) {}

}  // namespace

TIFF* OpenTiff(const std::string& path, const char* mode) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  TIFF* tif = TIFFClientOpen(path.c_str(), mode, reinterpret_cast<thandle_t>(static_cast<std::intptr_t>(fd)), ReadProc,
                             RefuseWrite, SeekProc, CloseProc, SizeProc, NoMap, NoUnmap);
  if (tif == nullptr) ::close(fd);
  return tif;
}

namespace {

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

TiffHandle OpenForReading(const std::string& path) {
  RegisterPrivateTags();
  return TiffHandle(OpenTiff(path, "r"));
}

// Collects the differences found between two pages.
class Differences {
 public:
  explicit Differences(std::string where) : where_(std::move(where)) {}

  template <typename T>
  void Compare(const char* what, const T& expected, const T& actual) {
    if (expected == actual) return;
    std::ostringstream line;
    line << where_ << ": " << what << " is " << actual << ", expected " << expected << "\n";
    text_ += line.str();
  }
  void Add(const std::string& what) { text_ += where_ + ": " + what + "\n"; }
  bool Any() const { return !text_.empty(); }
  const std::string& Text() const { return text_; }

 private:
  std::string where_;
  std::string text_;
};

// A tag's value as text ("absent" when the page does not have it), so that
// presence and value are compared in one go.
template <typename T>
std::string Scalar(TIFF* tif, ttag_t tagNumber) {
  T value{};
  if (TIFFGetField(tif, tagNumber, &value) != 1) return "absent";
  std::ostringstream text;
  text << +value;
  return text.str();
}

std::string Text(TIFF* tif, ttag_t tagNumber) {
  const char* value = nullptr;
  if (TIFFGetField(tif, tagNumber, &value) != 1 || value == nullptr) return "absent";
  return std::string("\"") + value + "\"";
}

std::string Pair(TIFF* tif, ttag_t tagNumber) {
  std::uint16_t first = 0, second = 0;
  if (TIFFGetField(tif, tagNumber, &first, &second) != 1) return "absent";
  return std::to_string(first) + "," + std::to_string(second);
}

std::string ColourMap(TIFF* tif) {
  std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  std::uint16_t bits = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  if (TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) return "absent";
  if (bits > 16) return "unusable";
  std::ostringstream text;
  const std::size_t entries = std::size_t{1} << bits;
  for (std::size_t i = 0; i < entries; ++i) text << red[i] << '/' << green[i] << '/' << blue[i] << ' ';
  return text.str();
}

struct NamedTag {
  const char* Name;
  ttag_t Number;
};

constexpr NamedTag kLongTags[] = {{"ImageWidth", TIFFTAG_IMAGEWIDTH},     {"ImageLength", TIFFTAG_IMAGELENGTH},
                                  {"RowsPerStrip", TIFFTAG_ROWSPERSTRIP}, {"TileWidth", TIFFTAG_TILEWIDTH},
                                  {"TileLength", TIFFTAG_TILELENGTH},     {"NewSubfileType", TIFFTAG_SUBFILETYPE}};
constexpr NamedTag kShortTags[] = {
    {"BitsPerSample", TIFFTAG_BITSPERSAMPLE}, {"SamplesPerPixel", TIFFTAG_SAMPLESPERPIXEL},
    {"Compression", TIFFTAG_COMPRESSION},     {"Photometric", TIFFTAG_PHOTOMETRIC},
    {"PlanarConfig", TIFFTAG_PLANARCONFIG},   {"FillOrder", TIFFTAG_FILLORDER},
    {"Orientation", TIFFTAG_ORIENTATION},     {"ResolutionUnit", TIFFTAG_RESOLUTIONUNIT},
    {"SampleFormat", TIFFTAG_SAMPLEFORMAT},   {"Predictor", TIFFTAG_PREDICTOR}};
constexpr NamedTag kRationalTags[] = {{"XResolution", TIFFTAG_XRESOLUTION}, {"YResolution", TIFFTAG_YRESOLUTION}};
constexpr NamedTag kTextTags[] = {{"ImageDescription", TIFFTAG_IMAGEDESCRIPTION},
                                  {"DocumentName", TIFFTAG_DOCUMENTNAME},
                                  {"Software", TIFFTAG_SOFTWARE},
                                  {"DateTime", TIFFTAG_DATETIME}};

void CompareTags(TIFF* expected, TIFF* actual, Differences& out) {
  for (const NamedTag& t : kLongTags)
    out.Compare(t.Name, Scalar<std::uint32_t>(expected, t.Number), Scalar<std::uint32_t>(actual, t.Number));
  for (const NamedTag& t : kShortTags)
    out.Compare(t.Name, Scalar<std::uint16_t>(expected, t.Number), Scalar<std::uint16_t>(actual, t.Number));
  for (const NamedTag& t : kRationalTags)
    out.Compare(t.Name, Scalar<float>(expected, t.Number), Scalar<float>(actual, t.Number));
  for (const NamedTag& t : kTextTags) out.Compare(t.Name, Text(expected, t.Number), Text(actual, t.Number));
  out.Compare("PageNumber", Pair(expected, TIFFTAG_PAGENUMBER), Pair(actual, TIFFTAG_PAGENUMBER));
  out.Compare("ColorMap", ColourMap(expected), ColourMap(actual));
  out.Compare("Long8", Scalar<std::uint64_t>(expected, kLong8Tag), Scalar<std::uint64_t>(actual, kLong8Tag));
}

// The stored bytes of a strip or tile can only differ when the copy had to
// reverse multi-byte uncompressed samples for the other byte order.
// Samples wider than a byte in the other byte order are reversed when they
// are stored plain, and decoded and encoded again when compressed: only
// their decoded values must stay, and plain ones keep their length.
bool StoredBytesKept(TIFF* expected, TIFF* actual) {
  std::uint16_t bits = 1;
  TIFFGetFieldDefaulted(expected, TIFFTAG_BITSPERSAMPLE, &bits);
  return TIFFIsBigEndian(expected) == TIFFIsBigEndian(actual) || bits <= 8;
}

bool StoredLengthKept(TIFF* expected, TIFF* actual) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(expected, TIFFTAG_COMPRESSION, &compression);
  return StoredBytesKept(expected, actual) || compression == COMPRESSION_NONE;
}

struct Piece {
  tmsize_t Size = -1;
  std::vector<unsigned char> Bytes;
};

Piece Decoded(TIFF* tif, std::uint32_t index) {
  const bool tiled = TIFFIsTiled(tif) != 0;
  const tmsize_t capacity = tiled ? TIFFTileSize(tif) : TIFFStripSize(tif);
  Piece piece;
  if (capacity <= 0) return piece;
  piece.Bytes.resize(static_cast<std::size_t>(capacity));
  piece.Size = tiled ? TIFFReadEncodedTile(tif, index, piece.Bytes.data(), capacity)
                     : TIFFReadEncodedStrip(tif, index, piece.Bytes.data(), capacity);
  piece.Bytes.resize(piece.Size > 0 ? static_cast<std::size_t>(piece.Size) : 0);
  return piece;
}

Piece Raw(TIFF* tif, std::uint32_t index) {
  Piece piece;
  const std::uint64_t length = TIFFGetStrileByteCount(tif, index);
  piece.Bytes.resize(static_cast<std::size_t>(length));
  if (length == 0) {
    piece.Size = 0;
    return piece;
  }
  const auto size = static_cast<tmsize_t>(length);
  piece.Size = TIFFIsTiled(tif) != 0 ? TIFFReadRawTile(tif, index, piece.Bytes.data(), size)
                                     : TIFFReadRawStrip(tif, index, piece.Bytes.data(), size);
  return piece;
}

std::string PieceName(TIFF* tif, std::uint32_t index) {
  return (TIFFIsTiled(tif) != 0 ? "tile " : "strip ") + std::to_string(index);
}

void ComparePixels(TIFF* expected, TIFF* actual, Differences& out) {
  out.Compare("tiled", TIFFIsTiled(expected) != 0, TIFFIsTiled(actual) != 0);
  const std::uint32_t pieces = TIFFNumberOfStrips(expected);  // strips or tiles
  out.Compare("number of strips or tiles", pieces, TIFFNumberOfStrips(actual));
  if (out.Any()) return;
  const bool storedKept = StoredBytesKept(expected, actual);
  const bool lengthKept = StoredLengthKept(expected, actual);
  for (std::uint32_t i = 0; i < pieces; ++i) {
    const Piece want = Decoded(expected, i);
    const Piece got = Decoded(actual, i);
    if (want.Size < 0) out.Add("the reference cannot decode " + PieceName(expected, i));
    if (got.Size != want.Size || got.Bytes != want.Bytes) out.Add("decoded " + PieceName(actual, i) + " differs");
    if (lengthKept)
      out.Compare("stored byte count", TIFFGetStrileByteCount(expected, i), TIFFGetStrileByteCount(actual, i));
    if (storedKept && Raw(expected, i).Bytes != Raw(actual, i).Bytes)
      out.Add("stored bytes of " + PieceName(actual, i) + " differ");
    if (out.Any()) return;  // one broken piece says enough
  }
}

std::string ExifText(TIFF* tif) {
  std::ostringstream text;
  const char* taken = nullptr;
  double exposure = 0;
  std::uint16_t isoCount = 0;
  std::uint16_t* iso = nullptr;
  std::uint32_t width = 0;
  text << "taken " << (TIFFGetField(tif, EXIFTAG_DATETIMEORIGINAL, &taken) == 1 && taken ? taken : "absent");
  if (TIFFGetField(tif, EXIFTAG_EXPOSURETIME, &exposure) == 1) text << ", exposure " << exposure;
  if (TIFFGetField(tif, EXIFTAG_ISOSPEEDRATINGS, &isoCount, &iso) == 1)
    for (std::uint16_t i = 0; i < isoCount; ++i) text << ", iso " << iso[i];
  if (TIFFGetField(tif, EXIFTAG_PIXELXDIMENSION, &width) == 1) text << ", width " << width;
  return text.str();
}

std::vector<toff_t> SubDirectories(TIFF* tif) {
  std::uint16_t count = 0;
  toff_t* offsets = nullptr;
  if (TIFFGetField(tif, TIFFTAG_SUBIFD, &count, &offsets) != 1) return {};
  return std::vector<toff_t>(offsets, offsets + count);
}

// The EXIF directory and the sub-directories of the current pages; both
// files are back on those pages afterwards.
void CompareAttached(TIFF* expected, tdir_t expectedPage, TIFF* actual, tdir_t actualPage, Differences& out) {
  toff_t expectedExif = 0, actualExif = 0;
  const bool hasExif = TIFFGetField(expected, TIFFTAG_EXIFIFD, &expectedExif) == 1;
  out.Compare("EXIF directory", hasExif, TIFFGetField(actual, TIFFTAG_EXIFIFD, &actualExif) == 1);
  const std::vector<toff_t> expectedSubs = SubDirectories(expected);
  const std::vector<toff_t> actualSubs = SubDirectories(actual);
  out.Compare("number of sub-directories", expectedSubs.size(), actualSubs.size());
  if (out.Any()) return;

  if (hasExif) {
    if (TIFFReadEXIFDirectory(expected, expectedExif) != 1 || TIFFReadEXIFDirectory(actual, actualExif) != 1)
      out.Add("cannot read the EXIF directory");
    else
      out.Compare("EXIF fields", ExifText(expected), ExifText(actual));
  }
  for (std::size_t i = 0; i < expectedSubs.size() && !out.Any(); ++i) {
    if (TIFFSetSubDirectory(expected, expectedSubs[i]) != 1 || TIFFSetSubDirectory(actual, actualSubs[i]) != 1) {
      out.Add("cannot read sub-directory " + std::to_string(i));
      break;
    }
    CompareTags(expected, actual, out);
    if (!out.Any()) ComparePixels(expected, actual, out);
  }
  if (hasExif || !expectedSubs.empty()) {
    if (TIFFSetDirectory(expected, expectedPage) != 1 || TIFFSetDirectory(actual, actualPage) != 1)
      out.Add("cannot return to the page after its sub-directories");
  }
}

bool DecodeAll(TIFF* tif) {
  for (std::uint32_t i = 0; i < TIFFNumberOfStrips(tif); ++i)
    if (Decoded(tif, i).Size < 0) return false;
  return true;
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

}  // namespace

int CountPages(const std::string& path) {
  LibtiffMessageLog quiet;
  TiffHandle tif = OpenForReading(path);
  if (!tif) return -1;
  int pages = 1;
  while (TIFFReadDirectory(tif.get()) == 1) ++pages;
  return pages;
}

std::vector<PageRef> PagesOf(const std::vector<std::string>& files) {
  std::vector<PageRef> pages;
  for (const std::string& file : files) {
    const int count = CountPages(file);
    for (int i = 0; i < count; ++i) pages.push_back({file, static_cast<std::uint32_t>(i)});
  }
  return pages;
}

bool IsBigEndianTiff(const std::string& path) {
  LibtiffMessageLog quiet;
  TiffHandle tif = OpenForReading(path);
  return tif && TIFFIsBigEndian(tif.get()) != 0;
}

testing::AssertionResult PagesMatch(const std::string& output, const std::vector<PageRef>& expected,
                                    std::uint32_t firstPage) {
  LibtiffMessageLog log;
  TiffHandle actual = OpenForReading(output);
  if (!actual) return testing::AssertionFailure() << "libtiff cannot open " << output << "\n" << log.Text();
  if (firstPage > 0 && TIFFSetDirectory(actual.get(), static_cast<tdir_t>(firstPage)) != 1)
    return testing::AssertionFailure() << output << " has no page " << firstPage << "\n" << log.Text();

  std::string problems;
  for (std::size_t page = 0; page < expected.size(); ++page) {
    if (page > 0 && TIFFReadDirectory(actual.get()) != 1) {
      problems += "the output ends after " + std::to_string(page) + " pages, expected " +
                  std::to_string(expected.size()) + "\n";
      break;
    }
    const PageRef& ref = expected[page];
    TiffHandle reference = OpenForReading(ref.Path);
    if (!reference || TIFFSetDirectory(reference.get(), static_cast<tdir_t>(ref.Index)) != 1) {
      problems += "cannot read reference page " + std::to_string(ref.Index) + " of " + ref.Path + "\n";
      break;
    }
    Differences differences("output page " + std::to_string(firstPage + page) + " (page " + std::to_string(ref.Index) +
                            " of " + std::filesystem::path(ref.Path).filename().string() + ")");
    CompareTags(reference.get(), actual.get(), differences);
    if (!differences.Any()) ComparePixels(reference.get(), actual.get(), differences);
    if (!differences.Any())
      CompareAttached(reference.get(), static_cast<tdir_t>(ref.Index), actual.get(),
                      static_cast<tdir_t>(firstPage + page), differences);
    problems += differences.Text();
  }
  if (problems.empty() && TIFFReadDirectory(actual.get()) == 1)
    problems += "the output has more than the " + std::to_string(expected.size()) + " pages expected\n";
  if (!log.Empty()) problems += "libtiff reported:\n" + log.Text();
  if (!problems.empty()) return testing::AssertionFailure() << output << ":\n" << problems;
  return testing::AssertionSuccess();
}

testing::AssertionResult ReadsCleanly(const std::string& path) {
  LibtiffMessageLog log;
  {
    TiffHandle tif = OpenForReading(path);
    if (!tif) return testing::AssertionFailure() << "libtiff cannot open " << path << "\n" << log.Text();
    int page = 0;
    do {
      if (!DecodeAll(tif.get())) return testing::AssertionFailure() << "page " << page << " does not decode\n";
      ++page;
    } while (TIFFReadDirectory(tif.get()) == 1);
  }
  if (!log.Empty()) return testing::AssertionFailure() << "libtiff reported on " << path << ":\n" << log.Text();
  return testing::AssertionSuccess();
}

bool TiffinfoAvailable() {
  static const bool available = std::system("command -v tiffinfo >/dev/null 2>&1") == 0;
  return available;
}

testing::AssertionResult TiffinfoClean(const std::string& path) {
  if (!TiffinfoAvailable()) return testing::AssertionSuccess() << "tiffinfo is not installed; not run";
  const std::string errors = path + ".tiffinfo-errors";
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const int status = std::system(("tiffinfo -D " + quoted + " >/dev/null 2>" + quoted + ".tiffinfo-errors").c_str());
  // tiffinfo does not know the fixtures' private tag and says so.
  std::string stderrText;
  std::istringstream lines(ReadText(errors));
  for (std::string line; std::getline(lines, line);)
    if (line.find("tag " + std::to_string(kLong8Tag) + " ") == std::string::npos) stderrText += line + "\n";
  std::remove(errors.c_str());
  if (status != 0 || !stderrText.empty())
    return testing::AssertionFailure() << "tiffinfo -D " << path << " exited with " << status << ":\n" << stderrText;
  return testing::AssertionSuccess();
}

}  // namespace vellox::test
