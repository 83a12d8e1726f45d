// Building AFP requests and reading AFP replies byte by byte. All integers
// travel big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace afptest {

using ByteVector = std::vector<uint8_t>;

// Appends fields to a growing request. Every Add returns the builder so
// requests read as one expression:
//   RequestBuilder().Add8(24).Add8(0).Add16(bitmap).AddPascal("Share").Bytes()
class RequestBuilder {
 public:
  RequestBuilder& Add8(uint8_t value);
  RequestBuilder& Add16(uint16_t value);
  RequestBuilder& Add32(uint32_t value);
  RequestBuilder& Add64(uint64_t value);
  // Length byte and the bytes; throws std::length_error above 255 bytes
  // (build deliberately broken strings with Add8 and AddBytes).
  RequestBuilder& AddPascal(std::string_view text);
  // 4-byte text-encoding hint, 2-byte length, then the UTF-8 bytes.
  RequestBuilder& AddUnicodeName(std::string_view utf8, uint32_t hint = 0);
  RequestBuilder& AddBytes(std::span<const uint8_t> bytes);
  RequestBuilder& AddBytes(std::string_view bytes);
  // Adds a zero byte when the request has an odd length.
  RequestBuilder& PadToEven();

  size_t size() const { return bytes_.size(); }
  const ByteVector& Bytes() const& { return bytes_; }
  ByteVector Bytes() && { return std::move(bytes_); }

 private:
  ByteVector bytes_;
};

// Reads fields from a reply it does not own; the bytes must outlive it.
// A read that would run past the end reads nothing, returns 0 (or an empty
// value), moves the cursor to the end and sets failed().
class ReplyReader {
 public:
  explicit ReplyReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint8_t Get8();
  uint16_t Get16();
  uint32_t Get32();
  uint64_t Get64();
  std::string GetPascal();
  // 4-byte hint, 2-byte length, UTF-8 bytes; the hint is dropped.
  std::string GetUnicodeName();
  ByteVector GetBytes(size_t count);
  void Skip(size_t count);
  // Moves the cursor to an absolute offset; past the end fails.
  void Seek(size_t offset);

  size_t position() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }
  size_t size() const { return bytes_.size(); }
  bool failed() const { return failed_; }

 private:
  // True when count more bytes are present; otherwise marks the failure.
  bool Have(size_t count);
  uint64_t GetBigEndian(size_t width);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  bool failed_ = false;
};

// Big-endian helpers for code that patches or inspects raw frames.
uint16_t LoadBe16(const uint8_t* p);
uint32_t LoadBe32(const uint8_t* p);
void StoreBe16(uint8_t* p, uint16_t value);
void StoreBe32(uint8_t* p, uint32_t value);

// "0a 1b ff" style dump for assertion messages.
std::string HexDump(std::span<const uint8_t> bytes, size_t limit = 256);

}  // namespace afptest
