// The codecs behind TranscodePiece, each a streaming decoder or encoder with
// fixed-size state, and the buffers they read compressed bytes through and
// write them through.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "transcode/transcode.hpp"

namespace vellox::transcode {

// Size of the buffers between a codec and its source or sink.
inline constexpr std::size_t kBufferBytes = 64 * 1024;

// Compressed bytes from a source, one at a time or as the buffered run.
class InputBuffer {
 public:
  explicit InputBuffer(ByteSource& source) : source_(source), data_(kBufferBytes) {}

  // The next byte; false at the end of the data.
  bool Next(unsigned char& byte) {
    if (at_ == end_ && !Refill()) return false;
    byte = static_cast<unsigned char>(data_[at_++]);
    return true;
  }
  // The bytes buffered and not yet taken, refilled first when there are
  // none; empty (0) only at the end of the data.
  std::size_t Available() {
    if (at_ == end_) Refill();
    return end_ - at_;
  }
  const char* Data() const { return data_.data() + at_; }
  void Take(std::size_t count) { at_ += count; }

 private:
  bool Refill() {
    at_ = 0;
    end_ = source_.Read(data_.data(), data_.size());
    if (end_ > data_.size()) throw std::logic_error("a byte source returned more bytes than asked for");
    return end_ != 0;
  }

  ByteSource& source_;
  std::vector<char> data_;
  std::size_t at_ = 0;
  std::size_t end_ = 0;
};

// Compressed bytes on their way to a sink, written in buffer-sized blocks.
class OutputBuffer {
 public:
  explicit OutputBuffer(ByteSink& sink) : sink_(sink), data_(kBufferBytes) {}

  void Put(unsigned char byte) {
    if (used_ == data_.size()) Flush();
    data_[used_++] = static_cast<char>(byte);
  }
  void Put(const unsigned char* from, std::size_t length) {
    while (length > 0) {
      char* room = Room();
      const std::size_t step = std::min(length, RoomBytes());
      std::memcpy(room, from, step);
      Commit(step);
      from += step;
      length -= step;
    }
  }
  // Free room at the end of the buffer (flushed first when it is full), to
  // be filled and then committed.
  char* Room() {
    if (used_ == data_.size()) Flush();
    return data_.data() + used_;
  }
  std::size_t RoomBytes() const { return data_.size() - used_; }
  void Commit(std::size_t length) { used_ += length; }

  void Flush() {
    if (used_ == 0) return;
    sink_.Write(data_.data(), used_);
    written_ += used_;
    used_ = 0;
  }
  std::uint64_t Written() const { return written_ + used_; }

 private:
  ByteSink& sink_;
  std::vector<char> data_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Fills `to` with up to `most` decoded bytes; returns fewer only when the
  // data has ended. Throws TranscodeError on data that cannot be decoded.
  virtual std::size_t Decode(char* to, std::size_t most) = 0;
};

class Encoder {
 public:
  virtual ~Encoder() = default;
  virtual void Encode(const char* from, std::size_t length) = 0;
  // Ends the code stream; the caller flushes the output.
  virtual void Finish() = 0;
};

std::unique_ptr<Decoder> MakeLzwDecoder(ByteSource& source);
std::unique_ptr<Encoder> MakeLzwEncoder(OutputBuffer& output);

std::unique_ptr<Decoder> MakeDeflateDecoder(ByteSource& source);
std::unique_ptr<Encoder> MakeDeflateEncoder(OutputBuffer& output);

std::unique_ptr<Decoder> MakePackBitsDecoder(ByteSource& source);
// Runs never cross a row of `rowBytes` bytes, as readers that decode row by
// row need.
std::unique_ptr<Encoder> MakePackBitsEncoder(OutputBuffer& output, std::uint64_t rowBytes);

}  // namespace vellox::transcode
