// The byte codec: numbers carried as decimal text become bytes in the
// output's byte order, and input bytes become numbers, through hexadecimal
// digit text. Values are unsigned 32-bit (0 to 4294967295), so tags of
// 32768 and up and offsets of 2^31 and up round-trip unchanged.
#include <cmath>
#include <stdexcept>

#include "codec/endian.hpp"
#include "merge/merge_session.hpp"
#include "merge/merger.hpp"

namespace vellox {
namespace {

constexpr double kLargestValue = 4294967295.0;

// Reads strict decimal text (digits only) as an unsigned 32-bit value.
std::uint32_t ParseDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) throw std::invalid_argument("not a decimal number: '" + text + "'");
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') throw std::invalid_argument("not a decimal number: '" + text + "'");
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) throw std::overflow_error("number out of range: " + text);
  return static_cast<std::uint32_t>(value);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return c - 'A' + 10;
}

}  // namespace

std::string Merger::HexDigit(std::int16_t Digit) {
  if (Digit < 0 || Digit > 15) return {};
  return std::string(1, "0123456789ABCDEF"[Digit]);
}

std::string Merger::ToHexDigits(double Value) {
  if (std::isnan(Value)) throw std::overflow_error("not a number");
  const double rounded = std::nearbyint(Value);  // ties to even
  if (rounded < 0.0 || rounded > kLargestValue) throw std::overflow_error("number out of range");
  auto x = static_cast<std::uint64_t>(rounded);
  std::string digits;
  do {
    digits.insert(digits.begin(), HexDigit(static_cast<std::int16_t>(x % 16)).front());
    x /= 16;
  } while (x > 0);
  return digits;
}

void Merger::EncodeNumber(const std::string& ValueText, std::int16_t ByteCount, bool ToBuffer,
                            std::int32_t ZeroCount) {
  // Every check comes before the first byte is emitted, so a failed call
  // leaves the output and PendingBytes untouched.
  if (ByteCount >= 16384) throw std::overflow_error("byte count out of range");
  if (ByteCount <= 0) throw std::invalid_argument("byte count must be positive");
  if (ZeroCount > 32767) throw std::overflow_error("zero count out of range");
  const std::uint32_t value = ParseDecimal(ValueText);
  std::string digits = ToHexDigits(static_cast<double>(value));
  const auto width = static_cast<std::size_t>(2 * ByteCount);
  if (digits.size() > width) throw std::invalid_argument("value " + ValueText + " does not fit");
  digits.insert(0, width - digits.size(), '0');

  const auto n = static_cast<std::size_t>(ByteCount);
  HexPairs.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t pair = OutputLittleEndian ? n - 1 - k : k;
    HexPairs[k].assign(digits, 2 * pair, 2);
  }

  PendingBytes.clear();
  std::string bytes;
  bytes.reserve(n + static_cast<std::size_t>(ZeroCount > 0 ? ZeroCount : 0));
  for (const std::string& pair : HexPairs)
    bytes.push_back(static_cast<char>(HexValue(pair[0]) * 16 + HexValue(pair[1])));
  if (ZeroCount > 0) bytes.append(static_cast<std::size_t>(ZeroCount), '\0');

  if (ToBuffer) {
    PendingBytes = std::move(bytes);
    return;
  }
  if (Session == nullptr) throw std::logic_error("no output file is open");
  Session->Output.Append(bytes);
  DirectByteCount += static_cast<std::int64_t>(bytes.size());
}

std::uint32_t Merger::DecodeNumber(std::string_view Bytes, std::int16_t& ByteCount) {
  if (ByteCount == 0) ByteCount = 4;
  if (ByteCount < 0 || ByteCount > 4) throw std::invalid_argument("byte count out of range");
  const auto n = static_cast<std::size_t>(ByteCount);
  if (Bytes.size() < n) throw std::invalid_argument("too few bytes to decode");
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t at = InputLittleEndian ? n - 1 - i : i;
    value = (value << 8) | static_cast<unsigned char>(Bytes[at]);
  }
  return value;
}

std::string Merger::SwapGroups(std::string_view Bytes, std::int32_t GroupSize) {
  if (GroupSize == 0) throw std::domain_error("group size 0");
  if (GroupSize < 0) throw std::invalid_argument("negative group size");
  std::string result(Bytes);
  codec::ReverseGroups(result.data(), result.size(), static_cast<std::size_t>(GroupSize));
  return result;
}

}  // namespace vellox
