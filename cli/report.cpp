// The merge report as the command line prints it.
//
// nlohmann-json cannot write or read a byte that is not UTF-8 (it throws,
// replaces or drops it, and rejects a lone surrogate escape), so such bytes
// travel through it marked: inside a string, NUL followed by two hex digits
// stands for one byte (NUL itself is "\0" "00"). DumpJson turns the marks
// into \udcXX after dumping; ParseJson turns \udcXX into marks before
// parsing and BytesOf turns them back into bytes.
#include "report.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace vellox::cli {
namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the byte
// there does not begin one (overlong forms, surrogates and values above
// U+10FFFF are not well-formed).
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
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

std::string Hex2(unsigned byte) {
  char buffer[4];
  std::snprintf(buffer, sizeof buffer, "%02x", byte & 0xFF);
  return buffer;
}

// A string with its NULs and its bytes that are not UTF-8 marked.
std::string Marked(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = text[at] == '\0' ? 0 : Utf8SequenceAt(text, at);
    if (length == 0) {
      out += '\0' + Hex2(static_cast<unsigned char>(text[at++]));
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

Json PagesJson(const std::vector<PageNote>& pages) {
  Json list = Json::array();
  for (const PageNote& page : pages) list.push_back({{"page", page.Index}, {"reason", Marked(page.Reason)}});
  return list;
}

}  // namespace

Json ReportJson(const MergeReport& report) {
  Json files = Json::array();
  for (const FileReport& file : report.Files)
    files.push_back({{"path", Marked(file.Path)},
                     {"fate", ToString(file.Fate)},
                     {"status", ToString(file.Status)},
                     {"result", file.Result},
                     {"pages", file.Pages},
                     {"reason", Marked(file.Reason)},
                     {"skipped", PagesJson(file.Skipped)},
                     {"left_out", PagesJson(file.LeftOut)},
                     {"transcoded", PagesJson(file.Transcoded)}});
  return {{"result", report.Result},         {"status", ToString(report.Status)}, {"reason", Marked(report.Reason)},
          {"output", Marked(report.Output)}, {"pages", report.PagesWritten},      {"bytes", report.BytesWritten},
          {"files", std::move(files)}};
}

std::string DumpJson(const Json& value, int indent) {
  const std::string text = value.dump(indent);
  // A marked byte was dumped as \u0000 and two hex digits.
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\') {
      out += text[at];
      continue;
    }
    if (text.compare(at, 6, "\\u0000") == 0 && at + 8 <= text.size()) {
      const std::string byte = text.substr(at + 6, 2);
      out += byte == "00" ? "\\u0000" : "\\udc" + byte;
      at += 7;
    } else {
      out += text.substr(at, 2);  // any other escape, as it is
      ++at;
    }
  }
  return out;
}

Json ParseJson(std::string_view text) {
  const auto hexAt = [&](std::size_t at, std::size_t count) {
    if (at + count > text.size()) return false;
    for (std::size_t i = at; i < at + count; ++i)
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
  };
  std::string marked;
  marked.reserve(text.size());
  bool inString = false;
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    if (!inString || c == '"') {
      inString = inString != (c == '"');
      marked += c;
      ++at;
    } else if (c == '\\' && at + 1 < text.size() && text[at + 1] == 'u' && hexAt(at + 2, 4)) {
      const unsigned code = static_cast<unsigned>(std::stoul(std::string(text.substr(at + 2, 4)), nullptr, 16));
      if (code == 0)
        marked += "\\u000000";
      else if (code >= 0xDC80 && code <= 0xDCFF)
        marked += "\\u0000" + Hex2(code);
      else
        marked.append(text.substr(at, 6));
      at += 6;
    } else if (c == '\\') {
      marked.append(text.substr(at, std::min<std::size_t>(2, text.size() - at)));
      at += 2;
    } else {
      const std::size_t length = Utf8SequenceAt(text, at);
      if (length == 0) {
        marked += "\\u0000" + Hex2(static_cast<unsigned char>(c));
        ++at;
      } else {
        marked.append(text.substr(at, length));
        at += length;
      }
    }
  }
  return Json::parse(marked);
}

std::string BytesOf(const std::string& parsed) {
  std::string out;
  out.reserve(parsed.size());
  for (std::size_t at = 0; at < parsed.size(); ++at) {
    if (parsed[at] == '\0' && at + 2 < parsed.size()) {  // ParseJson put two hex digits after it
      out += static_cast<char>(std::stoi(parsed.substr(at + 1, 2), nullptr, 16));
      at += 2;
    } else {
      out += parsed[at];
    }
  }
  return out;
}

std::string JsonText(const std::string& bytes) {
  return Marked(bytes);
}

std::string Count(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace vellox::cli
