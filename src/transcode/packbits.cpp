// PackBits: a header byte n then data. n from 0 to 127: the next n + 1
// bytes as they are; n from 129 to 255 (-127 to -1): the next byte 257 - n
// times; 128: nothing.
#include <algorithm>
#include <array>
#include <cstring>

#include "transcode/codecs.hpp"

namespace vellox::transcode {
namespace {

constexpr std::size_t kLongestRun = 128;

class PackBitsDecoder final : public Decoder {
 public:
  explicit PackBitsDecoder(ByteSource& source) : input_(source) {}

  // Data that ends inside a run ends the piece there: the caller reports a
  // piece that is short, or ignores what follows a complete one.
  std::size_t Decode(char* to, std::size_t most) override {
    std::size_t done = 0;
    while (done < most) {
      if (repeat_ > 0) {
        const std::size_t step = std::min(repeat_, most - done);
        std::memset(to + done, repeated_, step);
        repeat_ -= step;
        done += step;
      } else if (literal_ > 0) {
        const std::size_t available = input_.Available();
        if (available == 0) break;
        const std::size_t step = std::min({literal_, most - done, available});
        std::memcpy(to + done, input_.Data(), step);
        input_.Take(step);
        literal_ -= step;
        done += step;
      } else if (!ReadHeader()) {
        break;
      }
    }
    return done;
  }

 private:
  bool ReadHeader() {
    unsigned char header = 0;
    if (!input_.Next(header)) return false;
    if (header < 128) {
      literal_ = header + 1u;
    } else if (header > 128) {
      unsigned char byte = 0;
      if (!input_.Next(byte)) return false;
      repeat_ = 257u - header;
      repeated_ = byte;
    }
    return true;
  }

  InputBuffer input_;
  std::size_t literal_ = 0;  // bytes of the current literal run still to copy
  std::size_t repeat_ = 0;   // copies of `repeated_` still to write
  unsigned char repeated_ = 0;
};

// Replicates runs of three or more bytes, and of two when no literal run is
// open (where a literal would cost as much); everything else goes into
// literal runs of up to 128 bytes.
class PackBitsEncoder final : public Encoder {
 public:
  PackBitsEncoder(OutputBuffer& output, std::uint64_t rowBytes)
      : output_(output), rowBytes_(rowBytes), rowLeft_(rowBytes) {}

  void Encode(const char* from, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      Add(static_cast<unsigned char>(from[i]));
      if (--rowLeft_ == 0) {
        EndRow();
        rowLeft_ = rowBytes_;
      }
    }
  }

  void Finish() override { EndRow(); }

 private:
  void Add(unsigned char byte) {
    if (run_ > 0 && byte == runByte_ && run_ < kLongestRun) {
      ++run_;
      return;
    }
    CloseRun();
    runByte_ = byte;
    run_ = 1;
  }

  void CloseRun() {
    if (run_ >= 3 || (run_ == 2 && literal_ == 0)) {
      FlushLiteral();
      output_.Put(static_cast<unsigned char>(257 - run_));
      output_.Put(runByte_);
    } else {
      for (std::size_t i = 0; i < run_; ++i) {
        literalBytes_[literal_++] = runByte_;
        if (literal_ == kLongestRun) FlushLiteral();
      }
    }
    run_ = 0;
  }

  void FlushLiteral() {
    if (literal_ == 0) return;
    output_.Put(static_cast<unsigned char>(literal_ - 1));
    output_.Put(literalBytes_.data(), literal_);
    literal_ = 0;
  }

  void EndRow() {
    CloseRun();
    FlushLiteral();
  }

  OutputBuffer& output_;
  const std::uint64_t rowBytes_;
  std::uint64_t rowLeft_;
  std::array<unsigned char, kLongestRun> literalBytes_{};
  std::size_t literal_ = 0;
  std::size_t run_ = 0;  // length of the run of `runByte_` being counted
  unsigned char runByte_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> MakePackBitsDecoder(ByteSource& source) {
  return std::make_unique<PackBitsDecoder>(source);
}

std::unique_ptr<Encoder> MakePackBitsEncoder(OutputBuffer& output, std::uint64_t rowBytes) {
  return std::make_unique<PackBitsEncoder>(output, rowBytes);
}

}  // namespace vellox::transcode
