// TIFF's LZW: codes of 9 to 12 bits, most significant bit first; code 256
// clears the table, 257 ends the data, new strings take codes from 258 on.
// The code width grows one code early: a decoder that has just filled code
// 510 (1022, 2046) reads the next code with 10 (11, 12) bits, and the
// encoder writes each code with the width of its next free code, which runs
// one ahead of the decoder's.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "transcode/codecs.hpp"

namespace vellox::transcode {
namespace {

constexpr unsigned kClearCode = 256;
constexpr unsigned kEndCode = 257;
constexpr unsigned kFirstFreeCode = 258;
constexpr unsigned kTableSize = 4096;  // every code of 12 bits
constexpr unsigned kNoCode = kTableSize;
// The encoder clears the table when its next free code reaches this, so
// that the decoder, one code behind, never needs more than 12 bits.
constexpr unsigned kEncoderLimit = kTableSize - 2;

// The width of a code that may be as large as `code`: 9 to 12 bits.
unsigned BitsFor(unsigned code) {
  unsigned bits = 9;
  while (bits < 12 && code >= (1u << bits)) ++bits;
  return bits;
}

class LzwDecoder final : public Decoder {
 public:
  explicit LzwDecoder(ByteSource& source) : input_(source) {
    for (unsigned c = 0; c < 256; ++c) {
      prefix_[c] = static_cast<std::uint16_t>(kNoCode);
      last_[c] = first_[c] = static_cast<unsigned char>(c);
      length_[c] = 1;
    }
    ClearTable();
  }

  std::size_t Decode(char* to, std::size_t most) override {
    if (!checkedStyle_) RejectOldStyle();
    std::size_t done = TakePending(to, most);
    while (done < most && !ended_) {
      unsigned code = 0;
      if (!NextCode(code) || code == kEndCode) {
        ended_ = true;
      } else if (code == kClearCode) {
        ClearTable();
      } else {
        done += Expand(code, to + done, most - done);
      }
    }
    return done;
  }

 private:
  // Streams from the compatibility mode of early writers put the low bit
  // first; they begin with a zero byte and an odd one, where this
  // variant's first code (a clear code) makes the first byte 0x80.
  void RejectOldStyle() {
    checkedStyle_ = true;
    while (count_ < 16) {
      unsigned char byte = 0;
      if (!input_.Next(byte)) return;
      bits_ = bits_ << 8 | byte;
      count_ += 8;
    }
    if ((bits_ >> 8 & 0xFFu) == 0 && (bits_ & 1u) != 0)
      throw TranscodeError("LZW data is in the old, bit-reversed variant, which is not supported");
  }

  void ClearTable() {
    next_ = kFirstFreeCode;
    width_ = 9;
    previous_ = kNoCode;
  }

  bool NextCode(unsigned& code) {
    while (count_ < width_) {
      unsigned char byte = 0;
      if (!input_.Next(byte)) return false;
      bits_ = bits_ << 8 | byte;
      count_ += 8;
    }
    count_ -= width_;
    code = static_cast<unsigned>(bits_ >> count_) & ((1u << width_) - 1);
    return true;
  }

  // Writes the string of `code` (as much as fits in `to`, the rest kept
  // pending) and adds the table entry the code implies.
  std::size_t Expand(unsigned code, char* to, std::size_t most) {
    if (code > next_ || (code == next_ && previous_ == kNoCode))
      throw TranscodeError("LZW data is corrupt: code " + std::to_string(code) + " is not yet in the table");
    if (previous_ != kNoCode && next_ < kTableSize) {
      // A code not yet in the table can only be the previous string plus
      // its own first byte.
      const unsigned char first = code == next_ ? first_[previous_] : first_[code];
      AddEntry(previous_, first);
    }
    previous_ = code;
    const std::size_t length = length_[code];
    if (length <= most) {
      WriteString(code, reinterpret_cast<unsigned char*>(to), length);
      return length;
    }
    WriteString(code, pending_.data(), length);
    pendingAt_ = 0;
    pendingEnd_ = length;
    return TakePending(to, most);
  }

  void AddEntry(unsigned prefix, unsigned char byte) {
    prefix_[next_] = static_cast<std::uint16_t>(prefix);
    last_[next_] = byte;
    first_[next_] = first_[prefix];
    length_[next_] = static_cast<std::uint16_t>(length_[prefix] + 1);
    ++next_;
    width_ = BitsFor(next_ + 1);
  }

  void WriteString(unsigned code, unsigned char* to, std::size_t length) const {
    for (std::size_t i = length; i > 0; --i) {
      to[i - 1] = last_[code];
      code = prefix_[code];
    }
  }

  std::size_t TakePending(char* to, std::size_t most) {
    const std::size_t step = std::min(most, pendingEnd_ - pendingAt_);
    std::memcpy(to, pending_.data() + pendingAt_, step);
    pendingAt_ += step;
    return step;
  }

  InputBuffer input_;
  std::uint32_t bits_ = 0;  // the low `count_` bits are unread
  unsigned count_ = 0;
  unsigned width_ = 9;
  unsigned next_ = kFirstFreeCode;
  unsigned previous_ = kNoCode;
  bool ended_ = false;
  bool checkedStyle_ = false;
  std::array<std::uint16_t, kTableSize> prefix_{};
  std::array<std::uint16_t, kTableSize> length_{};
  std::array<unsigned char, kTableSize> last_{};
  std::array<unsigned char, kTableSize> first_{};
  std::array<unsigned char, kTableSize> pending_{};  // longer than any string
  std::size_t pendingAt_ = 0;
  std::size_t pendingEnd_ = 0;
};

class LzwEncoder final : public Encoder {
 public:
  explicit LzwEncoder(OutputBuffer& output) : output_(output) { Put(kClearCode, BitsFor(next_)); }

  void Encode(const char* from, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      const auto byte = static_cast<unsigned char>(from[i]);
      if (current_ == kNoCode) {
        current_ = byte;
        continue;
      }
      const std::uint32_t key = current_ << 8 | byte;
      std::size_t slot = Slot(key);
      while (stamps_[slot] == generation_ && keys_[slot] != key) slot = (slot + 1) & (kSlots - 1);
      if (stamps_[slot] == generation_) {
        current_ = codes_[slot];
        continue;
      }
      Put(current_, BitsFor(next_));
      stamps_[slot] = generation_;
      keys_[slot] = key;
      codes_[slot] = static_cast<std::uint16_t>(next_);
      if (++next_ == kEncoderLimit) Clear();
      current_ = byte;
    }
  }

  void Finish() override {
    if (current_ != kNoCode) Put(current_, BitsFor(next_));
    // The decoder adds an entry for that last code before it reads this one.
    Put(kEndCode, BitsFor(next_ + 1));
    if (count_ > 0) output_.Put(static_cast<unsigned char>(bits_ << (8 - count_)));
    count_ = 0;
  }

 private:
  static constexpr std::size_t kSlots = 8192;  // twice the table, so probes stay short

  static std::size_t Slot(std::uint32_t key) { return (key * 2654435761u) >> 19; }

  void Clear() {
    Put(kClearCode, BitsFor(next_));
    next_ = kFirstFreeCode;
    if (++generation_ == 0) {  // every slot's stamp would look current again
      stamps_.fill(0);
      generation_ = 1;
    }
  }

  void Put(unsigned code, unsigned width) {
    bits_ = bits_ << width | code;
    count_ += width;
    while (count_ >= 8) {
      count_ -= 8;
      output_.Put(static_cast<unsigned char>(bits_ >> count_));
    }
  }

  OutputBuffer& output_;
  std::uint32_t bits_ = 0;  // the low `count_` bits are not yet written
  unsigned count_ = 0;
  unsigned next_ = kFirstFreeCode;
  unsigned current_ = kNoCode;  // the code of the string matched so far
  std::uint32_t generation_ = 1;
  std::array<std::uint32_t, kSlots> stamps_{};
  std::array<std::uint32_t, kSlots> keys_{};
  std::array<std::uint16_t, kSlots> codes_{};
};

}  // namespace

std::unique_ptr<Decoder> MakeLzwDecoder(ByteSource& source) {
  return std::make_unique<LzwDecoder>(source);
}

std::unique_ptr<Encoder> MakeLzwEncoder(OutputBuffer& output) {
  return std::make_unique<LzwEncoder>(output);
}

}  // namespace vellox::transcode
