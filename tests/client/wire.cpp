#include "tests/client/wire.h"

#include <cstdio>
#include <stdexcept>

namespace afptest {

namespace {

void AppendBigEndian(ByteVector& out, uint64_t value, size_t width) {
  for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

RequestBuilder& RequestBuilder::Add8(uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

RequestBuilder& RequestBuilder::Add16(uint16_t value) {
  AppendBigEndian(bytes_, value, 2);
  return *this;
}

RequestBuilder& RequestBuilder::Add32(uint32_t value) {
  AppendBigEndian(bytes_, value, 4);
  return *this;
}

RequestBuilder& RequestBuilder::Add64(uint64_t value) {
  AppendBigEndian(bytes_, value, 8);
  return *this;
}

RequestBuilder& RequestBuilder::AddPascal(std::string_view text) {
  if (text.size() > 255) throw std::length_error("Pascal string longer than 255 bytes");
  Add8(static_cast<uint8_t>(text.size()));
  return AddBytes(text);
}

RequestBuilder& RequestBuilder::AddUnicodeName(std::string_view utf8, uint32_t hint) {
  if (utf8.size() > 0xFFFF) throw std::length_error("Unicode name longer than 65535 bytes");
  Add32(hint);
  Add16(static_cast<uint16_t>(utf8.size()));
  return AddBytes(utf8);
}

RequestBuilder& RequestBuilder::AddBytes(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

RequestBuilder& RequestBuilder::AddBytes(std::string_view bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

RequestBuilder& RequestBuilder::PadToEven() {
  if (bytes_.size() % 2 != 0) bytes_.push_back(0);
  return *this;
}

bool ReplyReader::Have(size_t count) {
  if (!failed_ && count <= remaining()) return true;
  failed_ = true;
  pos_ = bytes_.size();
  return false;
}

uint64_t ReplyReader::GetBigEndian(size_t width) {
  if (!Have(width)) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[pos_ + i];
  pos_ += width;
  return value;
}

uint8_t ReplyReader::Get8() { return static_cast<uint8_t>(GetBigEndian(1)); }
uint16_t ReplyReader::Get16() { return static_cast<uint16_t>(GetBigEndian(2)); }
uint32_t ReplyReader::Get32() { return static_cast<uint32_t>(GetBigEndian(4)); }
uint64_t ReplyReader::Get64() { return GetBigEndian(8); }

std::string ReplyReader::GetPascal() {
  if (!Have(1)) return {};
  const size_t length = bytes_[pos_];
  if (!Have(1 + length)) return {};
  std::string text(reinterpret_cast<const char*>(bytes_.data() + pos_ + 1), length);
  pos_ += 1 + length;
  return text;
}

std::string ReplyReader::GetUnicodeName() {
  if (!Have(6)) return {};
  const size_t length = LoadBe16(bytes_.data() + pos_ + 4);
  if (!Have(6 + length)) return {};
  std::string text(reinterpret_cast<const char*>(bytes_.data() + pos_ + 6), length);
  pos_ += 6 + length;
  return text;
}

ByteVector ReplyReader::GetBytes(size_t count) {
  if (!Have(count)) return {};
  ByteVector out(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
            bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + count));
  pos_ += count;
  return out;
}

void ReplyReader::Skip(size_t count) {
  if (Have(count)) pos_ += count;
}

void ReplyReader::Seek(size_t offset) {
  if (failed_ || offset > bytes_.size()) {
    failed_ = true;
    pos_ = bytes_.size();
    return;
  }
  pos_ = offset;
}

uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void StoreBe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

void StoreBe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

std::string HexDump(std::span<const uint8_t> bytes, size_t limit) {
  std::string out;
  char cell[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(cell, sizeof cell, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += cell;
  }
  if (bytes.size() > limit) out += " ...";
  return out;
}

}  // namespace afptest
