// `vellox info IN... [--json]`: one block per file (its format, byte order,
// size and a line per page), or one JSON document for all of them.
#include "info.hpp"

#include <iostream>
#include <string_view>

#include "options.hpp"
#include "report.hpp"

namespace vellox::cli {
namespace {

constexpr int kExitSomeFileUnread = 1;

struct Named {
  std::uint32_t Number;
  const char* Name;
};

constexpr Named kCompressions[] = {
    {1, "none"},         {2, "CCITT RLE"},      {3, "CCITT G3"},      {4, "CCITT G4"},
    {5, "LZW"},          {6, "old-style JPEG"}, {7, "JPEG"},          {8, "Deflate"},
    {32773, "PackBits"}, {32946, "Deflate"},    {34712, "JPEG 2000"}, {34887, "LERC"},
    {34925, "LZMA"},     {50000, "ZSTD"},       {50001, "WebP"},      {50002, "JPEG XL"},
};

constexpr Named kPhotometrics[] = {
    {0, "min-is-white"},   {1, "min-is-black"}, {2, "RGB"},    {3, "palette"}, {4, "mask"},     {5, "separated"},
    {6, "YCbCr"},          {8, "CIELab"},       {9, "ICCLab"}, {10, "ITULab"}, {32844, "LogL"}, {32845, "LogLuv"},
    {34892, "linear raw"},
};

// "LZW (5)", or "compression 99" for a number without a name here.
template <std::size_t N>
std::string NameOf(std::uint32_t number, const Named (&names)[N], const char* what) {
  for (const Named& named : names)
    if (named.Number == number) return std::string(named.Name) + " (" + std::to_string(number) + ")";
  return std::string(what) + " " + std::to_string(number);
}

// The page's sub-directories, e.g. "; EXIF, GPS, 2 SubIFDs", or "".
std::string SubDirectories(const PageInfo& page) {
  std::string list;
  const auto add = [&list](const std::string& what) { list += (list.empty() ? "; " : ", ") + what; };
  if (page.Exif) add("EXIF");
  if (page.Gps) add("GPS");
  if (page.Interoperability) add("Interoperability");
  if (page.SubIfds != 0) add(Count(page.SubIfds, "SubIFD", "SubIFDs"));
  return list;
}

void PrintPage(const PageInfo& page) {
  std::cout << "  page " << page.Index + 1 << ": " << page.Width << "x" << page.Height << ", " << page.BitsPerSample
            << "-bit x " << page.SamplesPerPixel << ", " << NameOf(page.Compression, kCompressions, "compression")
            << ", " << (page.Photometric ? NameOf(*page.Photometric, kPhotometrics, "photometric") : "no photometric")
            << ", " << (page.Tiled ? Count(page.Pieces, "tile", "tiles") : Count(page.Pieces, "strip", "strips"));
  if (page.Tiled) std::cout << " of " << page.TileWidth << "x" << page.TileLength;
  std::cout << ", " << Count(page.ImageBytes, "byte", "bytes") << " of image data" << SubDirectories(page) << "\n";
  if (!page.Skipped.empty()) std::cout << "    a merge leaves it out: " << page.Skipped << "\n";
  for (const std::string& part : page.LeftOut) std::cout << "    a merge leaves out: " << part << "\n";
  if (page.OtherOrder == OtherOrderFate::Transcoded)
    std::cout << "    into the other byte order: transcoded (its compressed samples decoded and encoded again)\n";
  else if (page.OtherOrder == OtherOrderFate::Skipped && page.OtherOrderReason != page.Skipped)
    std::cout << "    into the other byte order: skipped: " << page.OtherOrderReason << "\n";
}

void PrintFile(const FileInfo& file) {
  if (!file.Tiff) return;  // nothing read: the reason goes to standard error
  std::cout << file.Path << ": " << (file.BigTiff ? "BigTIFF" : "classic TIFF") << ", "
            << (file.LittleEndian ? "little-endian (II)" : "big-endian (MM)") << ", "
            << Count(file.Pages.size(), "page", "pages") << ", " << Count(file.Bytes, "byte", "bytes") << "\n";
  std::size_t copied = 0;
  for (const PageInfo& page : file.Pages) {
    PrintPage(page);
    if (page.Skipped.empty()) ++copied;
  }
  if (copied != file.Pages.size())
    std::cout << "  a merge copies " << copied << " of the " << Count(file.Pages.size(), "page", "pages") << "\n";
  if (file.Status != Status::Ok) std::cout << "  " << ToString(file.Status) << ": " << file.Reason << "\n";
}

// JSON written as it goes, without building a document first: a file of
// 10,000 pages costs no tree of 200,000 values. Strings go through the
// report's own writer (DumpJson), so bytes that are not UTF-8 come out as
// they do in `merge --json`.
class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  JsonObject& Raw(const char* key, std::string_view json) {
    out_ += first_ ? "\"" : ", \"";
    first_ = false;
    out_ += key;
    out_ += "\": ";
    out_ += json;
    return *this;
  }
  JsonObject& Number(const char* key, std::uint64_t value) { return Raw(key, std::to_string(value)); }
  JsonObject& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonObject& Text(const char* key, const std::string& bytes) { return Raw(key, Quoted(bytes)); }
  void Close() { out_ += '}'; }

  static std::string Quoted(const std::string& bytes) { return bytes.empty() ? "\"\"" : DumpJson(JsonText(bytes)); }

 private:
  std::string& out_;
  bool first_ = true;
};

void AppendPage(std::string& out, const PageInfo& page) {
  std::string leftOut = "[";
  for (const std::string& part : page.LeftOut) leftOut += (leftOut.size() > 1 ? ", " : "") + JsonObject::Quoted(part);
  leftOut += "]";
  JsonObject(out)
      .Number("index", page.Index)
      .Number("offset", page.Offset)
      .Number("width", page.Width)
      .Number("height", page.Height)
      .Number("bits_per_sample", page.BitsPerSample)
      .Number("samples_per_pixel", page.SamplesPerPixel)
      .Number("compression", page.Compression)
      .Raw("photometric", page.Photometric ? std::to_string(*page.Photometric) : "null")
      .Raw("layout", page.Tiled ? "\"tiles\"" : "\"strips\"")
      .Number("pieces", page.Pieces)
      .Number("tile_width", page.TileWidth)
      .Number("tile_length", page.TileLength)
      .Number("image_bytes", page.ImageBytes)
      .Number("sub_ifds", page.SubIfds)
      .Bool("exif", page.Exif)
      .Bool("gps", page.Gps)
      .Bool("interoperability", page.Interoperability)
      .Text("skipped", page.Skipped)
      .Raw("left_out", leftOut)
      .Text("other_byte_order", ToString(page.OtherOrder))
      .Text("other_byte_order_reason", page.OtherOrderReason)
      .Close();
}

}  // namespace

CLI::App* AddInfoCommand(CLI::App& app, InfoOptions& options) {
  CLI::App* info = app.add_subcommand(
      "info",
      "Show what each file holds: its format, byte order and pages (size, samples, compression, strips or\n"
      "tiles, sub-directories), and what a merge would leave out of each page and why. Reads directories\n"
      "only: no pixel is decoded, and no file is changed.");
  info->add_option("files", options.Files, "TIFF files")->required();
  info->add_flag("--json", options.Json, "Print one JSON document for all the files");
  info->footer(
      "Exit status: 0 every file was read to the end of its pages; 1 some file is missing, is not a TIFF,\n"
      "cannot be opened or is damaged (the reason on standard error; the pages read before are shown);\n"
      "2 usage error.");
  return info;
}

std::string InfoJson(const FileInfo& file) {
  const auto known = [&file](const char* value) { return file.Tiff ? JsonObject::Quoted(value) : "null"; };
  std::string out;
  JsonObject object(out);
  object.Text("path", file.Path)
      .Text("status", ToString(file.Status))
      .Text("reason", file.Reason)
      .Raw("format", known(ToString(file.BigTiff ? OutputFormat::BigTiff : OutputFormat::Classic)))
      .Raw("byte_order", known(ToString(file.LittleEndian ? ByteOrder::Little : ByteOrder::Big)))
      .Number("bytes", file.Bytes)
      .Number("page_count", file.Pages.size());
  std::string pages = "[";
  for (const PageInfo& page : file.Pages) {
    pages += pages.size() == 1 ? "\n      " : ",\n      ";
    AppendPage(pages, page);
  }
  pages += file.Pages.empty() ? "]" : "\n    ]";
  object.Raw("pages", pages).Close();
  return out;
}

int RunInfo(const InfoOptions& options) {
  // Why files could not be read, said on standard error after everything
  // else, so that it never lands inside the JSON where both streams meet.
  std::string unread;
  if (options.Json) std::cout << "{\"files\": [";
  bool first = true;
  for (const std::string& path : options.Files) {
    const FileInfo file = Info(PathFromUtf8(path));
    if (file.Status != Status::Ok) unread += "vellox: " + path + ": " + file.Reason + "\n";
    if (!options.Json) {
      PrintFile(file);
      continue;
    }
    std::cout << (first ? "\n    " : ",\n    ") << InfoJson(file);
    first = false;
  }
  if (options.Json) std::cout << (first ? "]}\n" : "\n  ]}\n");
  std::cout.flush();
  std::cerr << unread;
  return unread.empty() ? kExitOk : kExitSomeFileUnread;
}

}  // namespace vellox::cli
