// Writes the fuzz seed corpus and the hand-made defect files with the test
// TiffBuilder, so both can be rebuilt and reviewed:
//
//   vellox_make_fuzz_inputs CORPUS_DIR CRASHERS_DIR
//
// Seeds are small valid files of every layout the page copier knows, plus a
// few broken ones; two-file seeds hold both files joined by kSplitMarker.
// Defect files are named by what is wrong with them; their expected results
// live in tests/crashers/manifest.txt, which this tool does not touch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "merge_harness.hpp"
#include "support/tiff_builder.hpp"

namespace {

using vellox::test::Field;
using vellox::test::TiffBuilder;

namespace fs = std::filesystem;

void Save(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Pixels(std::size_t n, unsigned seed) {
  std::string pixels(n, '\0');
  for (std::size_t i = 0; i < n; ++i) pixels[i] = static_cast<char>((i * 7 + seed * 13) & 0xFF);
  return pixels;
}

std::string Grey(bool little, int pages, std::uint32_t strips, bool big = false) {
  TiffBuilder b(little, big);
  for (int p = 0; p < pages; ++p) b.AddGreyPage(8, 6, Pixels(48, static_cast<unsigned>(p)), strips);
  return b.Bytes();
}

// A 16-bit grey page: its samples must be reversed when the output's byte
// order differs.
std::string Grey16(bool little) {
  TiffBuilder b(little);
  const std::uint32_t data = b.Append(Pixels(2 * 4 * 4, 3));
  const std::uint32_t ifd = b.AppendDirectory({b.Values(256, 4, {4}), b.Values(257, 4, {4}), b.Values(258, 3, {16}),
                                               b.Values(259, 3, {1}), b.Values(262, 3, {1}), b.Values(273, 4, {data}),
                                               b.Values(277, 3, {1}), b.Values(278, 4, {4}), b.Values(279, 4, {32})});
  b.SetFirstDirectory(ifd);
  return b.Bytes();
}

std::string Tiled(bool little) {
  TiffBuilder b(little);
  std::vector<std::uint64_t> offsets, counts;
  for (int t = 0; t < 4; ++t) {
    b.Append("\x11");
    offsets.push_back(b.Append(Pixels(16 * 16, static_cast<unsigned>(t))));
    counts.push_back(256);
  }
  const std::uint32_t ifd =
      b.AppendDirectory({b.Values(256, 4, {32}), b.Values(257, 4, {32}), b.Values(258, 3, {8}), b.Values(259, 3, {1}),
                         b.Values(262, 3, {1}), b.Values(277, 3, {1}), b.Values(322, 3, {16}), b.Values(323, 3, {16}),
                         b.Values(324, 4, offsets), b.Values(325, 4, counts)});
  b.SetFirstDirectory(ifd);
  return b.Bytes();
}

// An old-style JPEG page: the stream is found through JPEGInterchangeFormat.
std::string OldJpeg(bool little) {
  TiffBuilder b(little);
  const std::uint32_t stream = b.Append(std::string("\xFF\xD8\xFF\xD9", 4));
  const std::uint32_t ifd = b.AppendDirectory({b.Values(256, 4, {8}), b.Values(257, 4, {8}), b.Values(258, 3, {8}),
                                               b.Values(259, 3, {6}), b.Values(262, 3, {1}), b.Values(277, 3, {1}),
                                               b.Values(513, 4, {stream}), b.Values(514, 4, {4})});
  b.SetFirstDirectory(ifd);
  return b.Bytes();
}

// A page with one sub-directory (a reduced image) and an Exif directory; in
// a BigTIFF their pointers are IFD8.
std::string WithSubDirectories(bool little, bool big = false) {
  TiffBuilder b(little, big);
  const std::uint16_t pointer = big ? 18 : 13;
  b.Append("\x22");
  const std::uint32_t thumb = b.Append(Pixels(16, 9));
  const std::uint32_t sub =
      b.AppendDirectory({b.Values(254, 4, {1}), b.Values(256, 4, {4}), b.Values(257, 4, {4}), b.Values(258, 3, {8}),
                         b.Values(259, 3, {1}), b.Values(262, 3, {1}), b.Values(273, 4, {thumb}), b.Values(277, 3, {1}),
                         b.Values(278, 4, {4}), b.Values(279, 4, {16})});
  const std::uint32_t exif = b.AppendDirectory({b.Values(36864, 7, {'0', '2', '3', '0'}), b.Values(40961, 3, {1})});
  b.Append("\x33");
  const std::uint32_t data = b.Append(Pixels(48, 4));
  const std::uint32_t ifd =
      b.AppendDirectory({b.Values(256, 4, {8}), b.Values(257, 4, {6}), b.Values(258, 3, {8}), b.Values(259, 3, {1}),
                         b.Values(262, 3, {1}), b.Values(273, 4, {data}), b.Values(277, 3, {1}), b.Values(278, 4, {6}),
                         b.Values(279, 4, {48}), b.Raw(330, pointer, 1, sub), b.Values(34665, big ? 18 : 4, {exif})});
  b.SetFirstDirectory(ifd);
  return b.Bytes();
}

std::string WithFields(std::vector<Field> (*extra)(TiffBuilder&, std::uint32_t data), bool big = false);

std::string Joined(const std::string& a, const std::string& b) {
  return a + vellox::fuzz::kSplitMarker + b;
}

void WriteCorpus(const fs::path& dir) {
  fs::create_directories(dir);
  Save(dir / "grey-le.tif", Grey(true, 2, 2));
  Save(dir / "grey-be.tif", Grey(false, 2, 3));
  Save(dir / "grey16-be.tif", Grey16(false));
  Save(dir / "tiled-le.tif", Tiled(true));
  Save(dir / "old-jpeg-be.tif", OldJpeg(false));
  Save(dir / "subifd-exif-le.tif", WithSubDirectories(true));
  Save(dir / "empty.tif", "");
  Save(dir / "not-a-tiff.txt", "hello, not a TIFF\n");
  Save(dir / "header-only.tif", std::string("II*\0\0\0\0\0", 8));
  Save(dir / "two-le-be.bin", Joined(Grey(true, 1, 2), Grey(false, 2, 1)));
  Save(dir / "two-be-grey16le.bin", Joined(Grey(false, 1, 1), Grey16(true)));
  Save(dir / "two-le-tiled.bin", Joined(Grey(true, 1, 1), Tiled(false)));
  Save(dir / "two-subifd-jpeg.bin", Joined(WithSubDirectories(false), OldJpeg(true)));
  Save(dir / "two-empty-first.bin", Joined("", Grey(true, 1, 1)));
  Save(dir / "bigtiff-grey-le.tif", Grey(true, 2, 2, true));
  Save(dir / "bigtiff-subifd-exif-be.tif", WithSubDirectories(false, true));
  Save(dir / "bigtiff-long8-le.tif",
       WithFields(
           [](TiffBuilder& b, std::uint32_t data) {
             return std::vector<Field>{b.Values(273, 16, {data}), b.Values(279, 16, {48}), b.Values(65000, 16, {7, 1})};
           },
           true));
  Save(dir / "two-le-bigtiff-be.bin", Joined(Grey(true, 1, 1), Grey(false, 2, 2, true)));
  Save(dir / "two-bigtiff-be-le.bin", Joined(Grey(false, 1, 2, true), WithSubDirectories(true)));
}

// ---------------------------------------------------------------------------
// Defect files: each a small file with one thing wrong.

std::string IfdLoop() {
  TiffBuilder b(true);
  const std::uint32_t ifd = b.AddGreyPage(8, 6, Pixels(48, 1), 1);
  b.SetLink(ifd, ifd);
  return b.Bytes();
}

std::string IfdLoopTwo() {
  TiffBuilder b(true);
  const std::uint32_t first = b.AddGreyPage(8, 6, Pixels(48, 1), 1);
  b.AddGreyPage(8, 6, Pixels(48, 2), 1);
  const std::uint32_t second = b.AddGreyPage(8, 6, Pixels(48, 3), 1);
  b.SetLink(second, first);
  return b.Bytes();
}

std::vector<Field> BaseFields(TiffBuilder& b) {
  return {b.Values(256, 4, {8}), b.Values(257, 4, {6}), b.Values(258, 3, {8}), b.Values(259, 3, {1}),
          b.Values(262, 3, {1}), b.Values(277, 3, {1}), b.Values(278, 4, {6})};
}

std::string WithFields(std::vector<Field> (*extra)(TiffBuilder&, std::uint32_t data), bool big) {
  TiffBuilder b(true, big);
  b.Append("\x44");
  const std::uint32_t data = b.Append(Pixels(48, 5));
  std::vector<Field> fields = BaseFields(b);
  for (Field& f : extra(b, data)) fields.push_back(std::move(f));
  std::sort(fields.begin(), fields.end(), [](const Field& x, const Field& y) { return x.Tag < y.Tag; });
  b.SetFirstDirectory(b.AppendDirectory(fields));
  return b.Bytes();
}

// The entry count promises more entries than the file holds.
std::string EntryBlockPastEof() {
  TiffBuilder b(true);
  const std::uint32_t ifd = b.AddGreyPage(8, 6, Pixels(48, 1), 1);
  b.Overwrite(ifd, b.Number(4000, 2));
  return b.Bytes();
}

std::string FirstIfdPastEof() {
  TiffBuilder b(true);
  b.AddGreyPage(8, 6, Pixels(48, 1), 1);
  b.SetFirstDirectory(0x7FFFFFF0);
  return b.Bytes();
}

std::string NextIfdPastEof() {
  TiffBuilder b(false);
  const std::uint32_t ifd = b.AddGreyPage(8, 6, Pixels(48, 1), 1);
  b.SetLink(ifd, 0xFFFFFFF0);
  return b.Bytes();
}

std::string IfdAtOddEnd() {
  // The directory's link would be read from the last 2 bytes of the file.
  std::string bytes = Grey(true, 1, 1);
  return bytes.substr(0, bytes.size() - 2);
}

// Many entries whose out-of-line values all point at the same large block:
// each entry alone lies inside the file, together they hold far more bytes
// than it.
std::string RepeatedOutOfLine() {
  TiffBuilder b(true);
  const std::uint32_t block = b.Append(std::string(64 * 1024, '\x5C'));
  b.Append("\x44");
  const std::uint32_t data = b.Append(Pixels(48, 5));
  std::vector<Field> fields = BaseFields(b);
  fields.push_back(b.Values(273, 4, {data}));
  fields.push_back(b.Values(279, 4, {48}));
  for (std::uint16_t tag = 40000; tag < 40000 + 2048; ++tag) fields.push_back(b.Raw(tag, 1, 64 * 1024, block));
  std::sort(fields.begin(), fields.end(), [](const Field& x, const Field& y) { return x.Tag < y.Tag; });
  b.SetFirstDirectory(b.AppendDirectory(fields));
  return b.Bytes();
}

std::string SubIfdLoop() {
  TiffBuilder b(true);
  b.Append("\x33");
  const std::uint32_t data = b.Append(Pixels(48, 4));
  // The page's SubIFDs entry points at the page's own directory.
  std::vector<Field> fields = BaseFields(b);
  fields.push_back(b.Values(273, 4, {data}));
  fields.push_back(b.Values(279, 4, {48}));
  const std::uint32_t where = static_cast<std::uint32_t>(b.Bytes().size());
  fields.push_back(b.Raw(330, 13, 1, where));
  std::sort(fields.begin(), fields.end(), [](const Field& x, const Field& y) { return x.Tag < y.Tag; });
  b.SetFirstDirectory(b.AppendDirectory(fields));
  return b.Bytes();
}

std::string Bigendian24Bit() {
  TiffBuilder b(false);
  b.Append("\x44");
  const std::uint32_t data = b.Append(Pixels(3 * 4 * 4, 6));
  b.SetFirstDirectory(b.AppendDirectory({b.Values(256, 4, {4}), b.Values(257, 4, {4}), b.Values(258, 3, {24}),
                                         b.Values(259, 3, {1}), b.Values(262, 3, {1}), b.Values(273, 4, {data}),
                                         b.Values(277, 3, {1}), b.Values(278, 4, {4}), b.Values(279, 4, {48})}));
  return b.Bytes();
}

// BigTIFF defects. Offsets and counts of 64 bits: those whose low 32 bits
// alone would point at something valid catch values cut to 32 bits.
constexpr std::uint64_t k4GiB = 1ull << 32;

// Two BigTIFF pages whose chain `relink` rewrites, given both directories.
std::string BigTwoPages(bool little, void (*relink)(TiffBuilder&, std::uint32_t first, std::uint32_t second)) {
  TiffBuilder b(little, true);
  const std::uint32_t first = b.AddGreyPage(8, 6, Pixels(48, 1), 2);
  const std::uint32_t second = b.AddGreyPage(8, 6, Pixels(48, 2), 2);
  relink(b, first, second);
  return b.Bytes();
}

std::string BigEntryCountWraps() {
  TiffBuilder b(true, true);
  // 20 bytes times this count wraps around 2^64 to 4.
  b.SetFirstDirectory(b.Append(b.Number(0x0CCCCCCCCCCCCCCDull, 8) + std::string(40, '\0')));
  return b.Bytes();
}

std::string BigSubIfd(std::uint64_t target) {
  TiffBuilder b(true, true);
  b.Append("\x33");
  const std::uint32_t data = b.Append(Pixels(48, 4));
  std::vector<Field> fields = BaseFields(b);
  fields.push_back(b.Values(273, 16, {data}));
  fields.push_back(b.Values(279, 16, {48}));
  const auto where = static_cast<std::uint32_t>(b.Bytes().size());
  fields.push_back(b.Raw(330, 18, 1, target == 0 ? where : where + target));
  std::sort(fields.begin(), fields.end(), [](const Field& x, const Field& y) { return x.Tag < y.Tag; });
  b.SetFirstDirectory(b.AppendDirectory(fields));
  return b.Bytes();
}

void WriteBigTiffDefects(const fs::path& dir) {
  auto big = [](std::vector<Field> (*extra)(TiffBuilder&, std::uint32_t)) { return WithFields(extra, true); };
  Save(dir / "bigtiff-header-cut.tif", std::string("II+\0\x08\0\0\0\x10\0\0\0", 12));
  Save(dir / "bigtiff-entry-count-wraps.tif", BigEntryCountWraps());
  Save(dir / "bigtiff-first-ifd-past-4gib.tif",
       BigTwoPages(true,
                   [](TiffBuilder& b, std::uint32_t first, std::uint32_t) { b.SetFirstDirectory(first + k4GiB); }));
  Save(dir / "bigtiff-next-ifd-past-4gib.tif",
       BigTwoPages(
           false, [](TiffBuilder& b, std::uint32_t first, std::uint32_t second) { b.SetLink(first, second + k4GiB); }));
  Save(dir / "bigtiff-ifd-loop.tif",
       BigTwoPages(true, [](TiffBuilder& b, std::uint32_t first, std::uint32_t second) { b.SetLink(second, first); }));
  Save(dir / "bigtiff-subifd-loop.tif", BigSubIfd(0));
  Save(dir / "bigtiff-subifd-past-4gib.tif", BigSubIfd(k4GiB));
  Save(dir / "bigtiff-value-count-max.tif", big([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 16, {data}), b.Values(279, 16, {48}), b.Raw(305, 2, ~0ull, 16)};
       }));
  Save(dir / "bigtiff-value-past-4gib.tif", big([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 16, {data}), b.Values(279, 16, {48}), b.Raw(305, 2, 16, k4GiB + 16)};
       }));
  Save(dir / "bigtiff-strip-past-4gib.tif", big([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 16, {k4GiB + data}), b.Values(279, 16, {48})};
       }));
  Save(dir / "bigtiff-strip-offset-wraps.tif", big([](TiffBuilder& b, std::uint32_t) {
         return std::vector<Field>{b.Values(273, 16, {~0ull - 15}), b.Values(279, 16, {0x20})};
       }));
  Save(dir / "bigtiff-long8-too-wide.tif", big([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 16, {data}), b.Values(279, 16, {48}), b.Values(65000, 16, {k4GiB})};
       }));
  Save(dir / "bigtiff-unknown-type-wide.tif", big([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 16, {data}), b.Values(279, 16, {48}), b.Raw(50000, 99, 1, k4GiB)};
       }));
}

void WriteDefects(const fs::path& dir) {
  fs::create_directories(dir);
  Save(dir / "ifd-loop.tif", IfdLoop());
  Save(dir / "ifd-loop-three-pages.tif", IfdLoopTwo());
  Save(dir / "entry-block-past-eof.tif", EntryBlockPastEof());
  Save(dir / "first-ifd-past-eof.tif", FirstIfdPastEof());
  Save(dir / "next-ifd-past-eof.tif", NextIfdPastEof());
  Save(dir / "link-cut-short.tif", IfdAtOddEnd());
  Save(dir / "header-truncated.tif", std::string("II*\0\x08\0", 6));
  Save(dir / "header-three-bytes.tif", std::string("MM\0", 3));
  Save(dir / "not-a-tiff.tif", "GIF89a not a tiff at all");
  Save(dir / "first-ifd-zero.tif", std::string("MM\0*\0\0\0\0", 8));
  Save(dir / "count-4294967295.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(279, 4, {48}), b.Raw(305, 2, 0xFFFFFFFF, 8)};
       }));
  Save(dir / "strip-count-4294967295.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Raw(273, 4, 0xFFFFFFFF, data), b.Raw(279, 4, 0xFFFFFFFF, data)};
       }));
  Save(dir / "strip-past-eof.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(279, 4, {4800})};
       }));
  Save(dir / "strip-offset-wraps.tif", WithFields([](TiffBuilder& b, std::uint32_t) {
         return std::vector<Field>{b.Values(273, 4, {0xFFFFFFF0}), b.Values(279, 4, {0x20})};
       }));
  Save(dir / "strip-offset-zero.tif", WithFields([](TiffBuilder& b, std::uint32_t) {
         return std::vector<Field>{b.Values(273, 4, {0}), b.Values(279, 4, {8})};
       }));
  Save(dir / "offsets-without-counts.tif",
       WithFields([](TiffBuilder& b, std::uint32_t data) { return std::vector<Field>{b.Values(273, 4, {data})}; }));
  Save(dir / "offsets-counts-differ.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data, data + 24}), b.Values(279, 4, {24})};
       }));
  Save(dir / "offsets-twice.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(273, 4, {data}), b.Values(279, 4, {48})};
       }));
  Save(dir / "strips-and-tiles.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(279, 4, {48}), b.Values(324, 4, {data}),
                                   b.Values(325, 4, {48})};
       }));
  Save(dir / "offsets-rational.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 5, {data, 1}), b.Values(279, 4, {48})};
       }));
  Save(dir / "value-past-eof.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(279, 4, {48}), b.Raw(270, 2, 64, 0x00FFFFF0)};
       }));
  Save(dir / "unknown-field-type.tif", WithFields([](TiffBuilder& b, std::uint32_t data) {
         return std::vector<Field>{b.Values(273, 4, {data}), b.Values(279, 4, {48}), b.Raw(50000, 99, 7, 0x12345678)};
       }));
  Save(dir / "bits-24-big-endian.tif", Bigendian24Bit());
  Save(dir / "subifd-loop.tif", SubIfdLoop());
  Save(dir / "out-of-line-repeated.tif", RepeatedOutOfLine());
  WriteBigTiffDefects(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vellox_make_fuzz_inputs CORPUS_DIR CRASHERS_DIR\n");
    return 2;
  }
  try {
    WriteCorpus(argv[1]);
    WriteDefects(argv[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
