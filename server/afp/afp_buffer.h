// BAFPBuffer: the cursor over request and reply bytes. Integers are
// big-endian; strings are Pascal strings, UTF-8 strings with a 16-bit length,
// or UTF-8 names with a 4-byte encoding hint. Names are Mac Roman inside the
// server and UTF-8 on the wire; the conversion happens here.
//
// Every read is bounded by the buffer's size: a read that would pass the end
// reads nothing, yields zeros and marks the buffer `ReadPastEnd()`. Handlers
// read their fields, check that mark, and answer kFPParamErr before they
// change anything. Every write checks that its whole field fits and, if not,
// writes nothing and returns kFPParamErr.
#pragma once

#include <cstdint>

inline constexpr uint8_t kShortNamePath = 1;
inline constexpr uint8_t kLongNamePath = 2;
inline constexpr uint8_t kUTF8NamePath = 3;

class BAFPBuffer {
 public:
  // No size limit: only for writing headers into blocks known to be large
  // enough.
  explicit BAFPBuffer(signed char* memory);
  BAFPBuffer(signed char* memory, int32_t size);
  virtual ~BAFPBuffer() = default;

  // Reads a name of the given path type (1 short: kFPCallNotSupported; 2
  // Pascal; 3 UTF-8, with the hint when `path` is set). With `path`, "/"
  // becomes 0x80 and ":" becomes "/".
  virtual int32_t GetString(char* out, uint16_t outSize, bool path, signed char pathType);
  virtual int8_t GetInt8();
  virtual int16_t GetInt16();
  virtual int32_t GetInt32();
  virtual int64_t GetInt64();
  virtual void GetRawData(void* out, int32_t count);
  virtual int32_t AddCStringAsPascal(const char* text);
  // Writes Mac Roman text as UTF-8: with a 16-bit length (`withLength`) or
  // zero-terminated; with both flags, a 4-byte hint of 0 first and every
  // 0x80 written as "/".
  virtual int32_t AddUniString(const char* text, bool withHint, bool withLength);
  // Converts *length bytes of UTF-8 at the cursor; *length returns the Mac
  // Roman length.
  virtual int32_t GetUniString(char* out, uint16_t outSize, uint16_t* length);
  virtual int32_t AddInt8(int8_t value);
  virtual int32_t AddInt16(int16_t value);
  virtual int32_t AddInt32(int32_t value);
  virtual int32_t AddInt64(int64_t value);
  virtual int32_t AddRawData(const void* data, int32_t count);
  // Skips one byte when the cursor is at an odd offset.
  virtual void AdvanceIfOdd();
  virtual bool CheckSpaceNeeded(int32_t count) const;
  virtual int32_t GetDataLength() const;
  virtual signed char* GetCurrentPosPtr() const;
  // Moves the cursor, clamped to the buffer (moving past the end marks a read
  // past the end).
  virtual void Advance(int32_t count);
  virtual signed char* GetBuffer() const;
  virtual int32_t GetBufferSize() const;
  virtual void Rewind();
  virtual int32_t GetPascalString(char* out, uint16_t outSize, int16_t* length);
  virtual int32_t GetUnicodeString(char* out, uint16_t outSize, int16_t* length, bool withHint);

  // Bytes left between the cursor and the end.
  int32_t Remaining() const;
  // True once a read wanted more bytes than were left.
  bool ReadPastEnd() const { return fReadPastEnd; }

 private:
  // Takes `count` bytes for reading: their start, or null (and the mark)
  // when fewer are left.
  const signed char* Take(int32_t count);
  uint64_t GetBig(int32_t bytes);
  int32_t AddBig(uint64_t value, int32_t bytes);
  int32_t ConvertUTF8In(char* out, uint16_t outSize, int32_t length, int32_t* produced);

  signed char* fBegin;
  signed char* fCursor;
  int32_t fSize;
  bool fReadPastEnd = false;
};
