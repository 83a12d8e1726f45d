// Building the fork requests (open, close, flush, parameters, read, write,
// byte-range locks) and small calls on top of them that tests and the
// benchmarks share. Paths travel as UTF-8 names (path type 3).
#pragma once

#include <cstdint>
#include <span>
#include <string>

// kNoReply, ResultOf, OpenVolume and the administration helpers.
#include "tests/client/afp_login.h"
#include "tests/client/dsi_client.h"
#include "tests/client/wire.h"

namespace afptest {

// FPOpenFork fork flag: the resource fork instead of the data fork.
inline constexpr uint8_t kResourceFork = 0x80;
inline constexpr uint8_t kDataFork = 0x00;
// FPOpenFork access mode bits.
inline constexpr uint16_t kAccessRead = 0x0001;
inline constexpr uint16_t kAccessWrite = 0x0002;
inline constexpr uint16_t kAccessReadWrite = kAccessRead | kAccessWrite;
// Start/end flag of FPWrite and FPByteRangeLock: the offset counts from the end.
inline constexpr uint8_t kFromEnd = 0x80;
// FPByteRangeLock flag: unlock instead of lock.
inline constexpr uint8_t kUnlock = 0x01;

// File parameter bitmap bits the fork commands use.
inline constexpr uint16_t kFileAttributes = 0x0001;
inline constexpr uint16_t kFileShortName = 0x0080;
inline constexpr uint16_t kFileDataLength = 0x0200;
inline constexpr uint16_t kFileResourceLength = 0x0400;
inline constexpr uint16_t kFileExtDataLength = 0x0800;
inline constexpr uint16_t kFileUTF8Name = 0x2000;
inline constexpr uint16_t kFileExtResourceLength = 0x4000;
// Attribute bits reporting an open fork.
inline constexpr uint16_t kAttrDataOpen = 0x0008;
inline constexpr uint16_t kAttrResourceOpen = 0x0010;

// Size of the FPWrite request header in front of the data.
inline constexpr size_t kWriteHeaderSize = 12;
// The most a read returns, and the most data one DSI Write carries.
inline constexpr uint32_t kQuantum = 4096;

ByteVector OpenForkRequest(uint8_t forkFlag, uint16_t volume, uint32_t dirID, uint16_t bitmap,
                           uint16_t accessMode, const std::string& utf8Path);
// FPCloseFork or FPFlushFork (both: code, pad, reference).
ByteVector CloseForkRequest(uint16_t ref);
ByteVector FlushForkRequest(uint16_t ref);
ByteVector GetForkParmsRequest(uint16_t ref, uint16_t bitmap);
// The length goes as 64 bits when the bitmap holds an extended length bit
// (0x0800 or 0x4000), else as 32 bits.
ByteVector SetForkParmsRequest(uint16_t ref, uint16_t bitmap, int64_t length);
// FPRead with newline mask and character 0.
ByteVector ReadRequest(uint16_t ref, int32_t offset, uint32_t count);
ByteVector ReadExtRequest(uint16_t ref, int64_t offset, uint64_t count);
// The parameters of a DSI Write in front of the data.
ByteVector WriteHeader(uint16_t ref, int32_t offset, uint32_t count, uint8_t flag = 0);
ByteVector WriteExtHeader(uint16_t ref, int64_t offset, uint64_t count, uint8_t flag = 0);
ByteVector LockRequest(uint16_t ref, int32_t offset, int32_t length, uint8_t flags = 0);
ByteVector LockExtRequest(uint16_t ref, int64_t offset, int64_t length, uint8_t flags = 0);

struct OpenedFork {
  int32_t result = kNoReply;
  uint16_t ref = 0;
  uint16_t bitmap = 0;
  ByteVector parameters;  // the file parameters after bitmap and reference
};
// FPOpenFork; a success reply too short to hold the bitmap and reference
// counts as no reply (kNoReply).
OpenedFork OpenFork(DsiClient& client, uint8_t forkFlag, uint16_t volume, uint32_t dirID,
                    const std::string& utf8Path, uint16_t accessMode, uint16_t bitmap = 0);

struct Transfer {
  int32_t result = kNoReply;
  ByteVector data;  // the bytes read; for a write the position reply
};
// FPRead (FPReadExt when ext) of count bytes at offset.
Transfer ReadFork(DsiClient& client, uint16_t ref, int64_t offset, uint32_t count, bool ext = false);
// FPWrite (FPWriteExt when ext) of the data at offset in a DSI Write.
Transfer WriteFork(DsiClient& client, uint16_t ref, int64_t offset, std::span<const uint8_t> data,
                   bool ext = false, uint8_t flag = 0);
// The position a write reply holds (4 or 8 bytes), or -1.
int64_t WritePosition(const Transfer& reply);

// Bytes that do not repeat with a period of 4096 (or any power of two), so
// data that lands at the wrong offset shows.
ByteVector Pattern(size_t size, uint32_t seed = 1);

}  // namespace afptest
