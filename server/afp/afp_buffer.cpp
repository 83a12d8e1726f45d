#include "server/afp/afp_buffer.h"

#include <climits>
#include <cstring>

#include "platform/text_encoding.h"
#include "server/afp/afp_result.h"

namespace {

constexpr char kStoredSlash = static_cast<char>(0x80);
// The longest UTF-8 form of one Mac Roman byte.
constexpr int32_t kMaxUTF8PerMacRoman = 3;
// Texts written as UTF-8 are names (at most 255 bytes) and messages (under
// 200); longer ones are refused.
constexpr size_t kMaxUniStringText = 1024;

}  // namespace

BAFPBuffer::BAFPBuffer(signed char* memory) : BAFPBuffer(memory, INT32_MAX) {}

BAFPBuffer::BAFPBuffer(signed char* memory, int32_t size)
    : fBegin(memory), fCursor(memory), fSize(memory != nullptr && size > 0 ? size : 0) {}

int32_t BAFPBuffer::Remaining() const { return fSize - GetDataLength(); }

const signed char* BAFPBuffer::Take(int32_t count) {
  if (count < 0 || count > Remaining()) {
    fReadPastEnd = true;
    return nullptr;
  }
  const signed char* start = fCursor;
  fCursor += count;
  return start;
}

uint64_t BAFPBuffer::GetBig(int32_t bytes) {
  const signed char* data = Take(bytes);
  if (data == nullptr) return 0;
  uint64_t value = 0;
  for (int32_t i = 0; i < bytes; ++i) value = (value << 8) | static_cast<uint8_t>(data[i]);
  return value;
}

int8_t BAFPBuffer::GetInt8() { return static_cast<int8_t>(GetBig(1)); }
int16_t BAFPBuffer::GetInt16() { return static_cast<int16_t>(GetBig(2)); }
int32_t BAFPBuffer::GetInt32() { return static_cast<int32_t>(GetBig(4)); }
int64_t BAFPBuffer::GetInt64() { return static_cast<int64_t>(GetBig(8)); }

void BAFPBuffer::GetRawData(void* out, int32_t count) {
  if (count <= 0) return;
  const signed char* data = Take(count);
  if (data == nullptr) {
    std::memset(out, 0, static_cast<size_t>(count));
    return;
  }
  std::memcpy(out, data, static_cast<size_t>(count));
}

int32_t BAFPBuffer::AddBig(uint64_t value, int32_t bytes) {
  if (!CheckSpaceNeeded(bytes)) return kFPParamErr;
  for (int32_t i = bytes - 1; i >= 0; --i) *fCursor++ = static_cast<signed char>(value >> (8 * i));
  return kFPNoErr;
}

int32_t BAFPBuffer::AddInt8(int8_t value) { return AddBig(static_cast<uint8_t>(value), 1); }
int32_t BAFPBuffer::AddInt16(int16_t value) { return AddBig(static_cast<uint16_t>(value), 2); }
int32_t BAFPBuffer::AddInt32(int32_t value) { return AddBig(static_cast<uint32_t>(value), 4); }
int32_t BAFPBuffer::AddInt64(int64_t value) { return AddBig(static_cast<uint64_t>(value), 8); }

int32_t BAFPBuffer::AddRawData(const void* data, int32_t count) {
  if (count < 0 || !CheckSpaceNeeded(count)) return kFPParamErr;
  if (count > 0) std::memcpy(fCursor, data, static_cast<size_t>(count));
  fCursor += count;
  return kFPNoErr;
}

int32_t BAFPBuffer::AddCStringAsPascal(const char* text) {
  if (text == nullptr) return kFPParamErr;
  const int32_t length = static_cast<int32_t>(std::strlen(text) % 256);
  if (!CheckSpaceNeeded(length + 1)) return kFPParamErr;
  *fCursor++ = static_cast<signed char>(length);
  for (int32_t i = 0; i < length; ++i) *fCursor++ = text[i] == kStoredSlash ? '/' : text[i];
  return kFPNoErr;
}

int32_t BAFPBuffer::AddUniString(const char* text, bool withHint, bool withLength) {
  if (text == nullptr) return kFPParamErr;
  const bool name = withHint && withLength;
  const size_t length = std::strlen(text);
  if (length > kMaxUniStringText) return kFPParamErr;
  char source[kMaxUniStringText];
  std::memcpy(source, text, length);
  if (name) {
    for (size_t i = 0; i < length; ++i)
      if (source[i] == kStoredSlash) source[i] = '/';
  }
  char utf8[kMaxUniStringText * kMaxUTF8PerMacRoman];
  int32_t consumed = static_cast<int32_t>(length);
  int32_t utf8Length = sizeof(utf8);
  if (ConvertMacRomanToUTF8(source, &consumed, utf8, &utf8Length) != B_OK ||
      consumed != static_cast<int32_t>(length))
    return kFPParamErr;
  const int32_t needed = (name ? 4 : 0) + (withLength ? 2 : 1) + utf8Length;
  if (!CheckSpaceNeeded(needed)) return kFPParamErr;
  if (name) AddInt32(0);
  if (withLength) AddInt16(static_cast<int16_t>(utf8Length));
  AddRawData(utf8, utf8Length);
  if (!withLength) AddInt8(0);
  return kFPNoErr;
}

int32_t BAFPBuffer::ConvertUTF8In(char* out, uint16_t outSize, int32_t length, int32_t* produced) {
  const signed char* data = Take(length);
  if (data == nullptr) return kFPParamErr;
  int32_t consumed = length;
  int32_t room = outSize - 1;  // keep the terminating zero
  if (ConvertUTF8ToMacRoman(reinterpret_cast<const char*>(data), &consumed, out, &room) != B_OK)
    return kFPParamErr;
  // A sequence cut off at the end of the field still stands for a character.
  if (consumed < length && room < outSize - 1) out[room++] = kMacRomanSubstitute;
  out[room] = '\0';
  *produced = room;
  return kFPNoErr;
}

int32_t BAFPBuffer::GetPascalString(char* out, uint16_t outSize, int16_t* length) {
  const int32_t stated = static_cast<uint8_t>(GetInt8());
  std::memset(out, 0, outSize);
  if (fReadPastEnd || stated + 1 > outSize) return kFPParamErr;
  const signed char* data = Take(stated);
  if (data == nullptr) return kFPParamErr;
  std::memcpy(out, data, static_cast<size_t>(stated));
  *length = static_cast<int16_t>(stated);
  return kFPNoErr;
}

int32_t BAFPBuffer::GetUnicodeString(char* out, uint16_t outSize, int16_t* length, bool withHint) {
  std::memset(out, 0, outSize);
  if (withHint) GetInt32();
  const int16_t stated = GetInt16();
  if (fReadPastEnd || static_cast<uint16_t>(stated) + 1u > outSize) return kFPParamErr;
  if (stated <= 0) return kFPNoErr;
  int32_t produced = 0;
  const int32_t result = ConvertUTF8In(out, outSize, stated, &produced);
  if (result == kFPNoErr) *length = static_cast<int16_t>(produced);
  return result;
}

int32_t BAFPBuffer::GetUniString(char* out, uint16_t outSize, uint16_t* length) {
  std::memset(out, 0, outSize);
  const uint16_t stated = *length;
  if (stated + 1u > outSize) return kFPParamErr;
  if (stated == 0) return kFPNoErr;
  int32_t produced = 0;
  const int32_t result = ConvertUTF8In(out, outSize, stated, &produced);
  if (result == kFPNoErr) *length = static_cast<uint16_t>(produced);
  return result;
}

int32_t BAFPBuffer::GetString(char* out, uint16_t outSize, bool path, signed char pathType) {
  int16_t length = 0;
  int32_t result;
  switch (pathType) {
    case kShortNamePath: return kFPCallNotSupported;
    case kLongNamePath: result = GetPascalString(out, outSize, &length); break;
    case kUTF8NamePath: result = GetUnicodeString(out, outSize, &length, path); break;
    default: return kFPParamErr;
  }
  if (result == kFPNoErr && path) {
    for (int16_t i = 0; i < length; ++i) {
      if (out[i] == '/') out[i] = kStoredSlash;
      else if (out[i] == ':') out[i] = '/';
    }
  }
  return result;
}

void BAFPBuffer::AdvanceIfOdd() {
  if (GetDataLength() % 2 != 0) Advance(1);
}

bool BAFPBuffer::CheckSpaceNeeded(int32_t count) const { return count >= 0 && count <= Remaining(); }

int32_t BAFPBuffer::GetDataLength() const { return static_cast<int32_t>(fCursor - fBegin); }

signed char* BAFPBuffer::GetCurrentPosPtr() const { return fCursor; }

void BAFPBuffer::Advance(int32_t count) {
  if (count < 0) count = 0;
  if (count > Remaining()) {
    fReadPastEnd = true;
    count = Remaining();
  }
  fCursor += count;
}

signed char* BAFPBuffer::GetBuffer() const { return fBegin; }

int32_t BAFPBuffer::GetBufferSize() const { return fSize; }

void BAFPBuffer::Rewind() {
  fCursor = fBegin;
  fReadPastEnd = false;
}
