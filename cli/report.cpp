// The merge report as the command line prints it.
#include "report.hpp"

#include <cstdio>
#include <vector>

namespace vellox::cli {
namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the byte
// there does not begin one (overlong forms, surrogates and values above
// U+10FFFF are not well-formed).
std::size_t Utf8SequenceAt(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

void WritePages(std::ostream& out, const std::vector<PageNote>& pages) {
  out << "[";
  for (std::size_t i = 0; i < pages.size(); ++i)
    out << (i == 0 ? "" : ", ") << "{\"page\": " << pages[i].Index << ", \"reason\": \"" << JsonEscape(pages[i].Reason)
        << "\"}";
  out << "]";
}

void WriteFile(std::ostream& out, const FileReport& file) {
  out << "{\"path\": \"" << JsonEscape(file.Path) << "\", \"fate\": \"" << FateName(file.Fate)
      << "\", \"result\": " << file.Result << ", \"pages\": " << file.Pages << ", \"reason\": \""
      << JsonEscape(file.Reason) << "\", \"skipped\": ";
  WritePages(out, file.Skipped);
  out << ", \"left_out\": ";
  WritePages(out, file.LeftOut);
  out << ", \"transcoded\": ";
  WritePages(out, file.Transcoded);
  out << "}";
}

}  // namespace

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, at);
    if (length == 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\udc%02x", static_cast<unsigned>(static_cast<unsigned char>(text[at])));
      out += buffer;
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    const char c = text[at++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buffer;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

const char* FateName(InputFate fate) {
  switch (fate) {
    case InputFate::Copied: return "copied";
    case InputFate::DeletedEmpty: return "deleted-empty";
    case InputFate::DroppedMissing: return "missing";
    case InputFate::NotReached: return "not-reached";
    case InputFate::KeptEmpty: return "kept-empty";
  }
  return "unknown";
}

const char* ResultMessage(std::int32_t code) {
  switch (code) {
    case kMergeWritten: return "merged";
    case kNoInputLeft: return "nothing to merge: every input file was missing or empty";
    case kNotTiff: return "the first input file is not a TIFF file";
    case kOutputDirMissing: return "the output directory does not exist";
    default: return "the merge failed; no output file was written";
  }
}

void WriteJson(std::ostream& out, const MergeReport& report, const std::string& output) {
  out << "{\n  \"result\": " << report.Result << ",\n  \"reason\": \"" << JsonEscape(report.Reason)
      << "\",\n  \"output\": \"" << JsonEscape(output) << "\",\n  \"pages\": " << report.PagesWritten
      << ",\n  \"bytes\": " << report.BytesWritten << ",\n  \"files\": [";
  for (std::size_t i = 0; i < report.Files.size(); ++i) {
    out << (i == 0 ? "\n    " : ",\n    ");
    WriteFile(out, report.Files[i]);
  }
  out << "\n  ]\n}\n";
}

void WriteJsonLine(std::ostream& out, const MergeReport& report, const std::string& output, const std::string& prefix) {
  out << "{" << prefix << "\"result\": " << report.Result << ", \"reason\": \"" << JsonEscape(report.Reason)
      << "\", \"output\": \"" << JsonEscape(output) << "\", \"pages\": " << report.PagesWritten
      << ", \"bytes\": " << report.BytesWritten << ", \"files\": [";
  for (std::size_t i = 0; i < report.Files.size(); ++i) {
    if (i != 0) out << ", ";
    WriteFile(out, report.Files[i]);
  }
  out << "]}";
}

}  // namespace vellox::cli
