#include "tests/client/afp_fork.h"

namespace afptest {

namespace {

ByteVector ReferenceRequest(uint8_t command, uint16_t ref) {
  return RequestBuilder().Add8(command).Add8(0).Add16(ref).Bytes();
}

}  // namespace

ByteVector OpenForkRequest(uint8_t forkFlag, uint16_t volume, uint32_t dirID, uint16_t bitmap,
                           uint16_t accessMode, const std::string& utf8Path) {
  return RequestBuilder().Add8(kFPOpenFork).Add8(forkFlag).Add16(volume).Add32(dirID).Add16(bitmap)
      .Add16(accessMode).Add8(3).AddUnicodeName(utf8Path).Bytes();
}

ByteVector CloseForkRequest(uint16_t ref) { return ReferenceRequest(kFPCloseFork, ref); }

ByteVector FlushForkRequest(uint16_t ref) { return ReferenceRequest(kFPFlushFork, ref); }

ByteVector GetForkParmsRequest(uint16_t ref, uint16_t bitmap) {
  return RequestBuilder().Add8(kFPGetForkParms).Add8(0).Add16(ref).Add16(bitmap).Bytes();
}

ByteVector SetForkParmsRequest(uint16_t ref, uint16_t bitmap, int64_t length) {
  RequestBuilder request;
  request.Add8(kFPSetForkParms).Add8(0).Add16(ref).Add16(bitmap);
  if ((bitmap & (kFileExtDataLength | kFileExtResourceLength)) != 0)
    request.Add64(static_cast<uint64_t>(length));
  else
    request.Add32(static_cast<uint32_t>(length));
  return std::move(request).Bytes();
}

ByteVector ReadRequest(uint16_t ref, int32_t offset, uint32_t count) {
  return RequestBuilder().Add8(kFPRead).Add8(0).Add16(ref).Add32(static_cast<uint32_t>(offset)).Add32(count)
      .Add8(0).Add8(0).Bytes();
}

ByteVector ReadExtRequest(uint16_t ref, int64_t offset, uint64_t count) {
  return RequestBuilder().Add8(kFPReadExt).Add8(0).Add16(ref).Add64(static_cast<uint64_t>(offset)).Add64(count)
      .Bytes();
}

ByteVector WriteHeader(uint16_t ref, int32_t offset, uint32_t count, uint8_t flag) {
  return RequestBuilder().Add8(kFPWrite).Add8(flag).Add16(ref).Add32(static_cast<uint32_t>(offset)).Add32(count)
      .Bytes();
}

ByteVector WriteExtHeader(uint16_t ref, int64_t offset, uint64_t count, uint8_t flag) {
  return RequestBuilder().Add8(kFPWriteExt).Add8(flag).Add16(ref).Add64(static_cast<uint64_t>(offset)).Add64(count)
      .Bytes();
}

ByteVector LockRequest(uint16_t ref, int32_t offset, int32_t length, uint8_t flags) {
  return RequestBuilder().Add8(kFPByteRangeLock).Add8(flags).Add16(ref).Add32(static_cast<uint32_t>(offset))
      .Add32(static_cast<uint32_t>(length)).Bytes();
}

ByteVector LockExtRequest(uint16_t ref, int64_t offset, int64_t length, uint8_t flags) {
  return RequestBuilder().Add8(kFPByteRangeLockExt).Add8(flags).Add16(ref).Add64(static_cast<uint64_t>(offset))
      .Add64(static_cast<uint64_t>(length)).Bytes();
}

OpenedFork OpenFork(DsiClient& client, uint8_t forkFlag, uint16_t volume, uint32_t dirID,
                    const std::string& utf8Path, uint16_t accessMode, uint16_t bitmap) {
  OpenedFork fork;
  const auto reply = client.Command(OpenForkRequest(forkFlag, volume, dirID, bitmap, accessMode, utf8Path));
  if (!reply) return fork;
  if (reply->errorCode != 0) {
    fork.result = reply->errorCode;
    return fork;
  }
  ReplyReader reader(reply->payload);
  const uint16_t replyBitmap = reader.Get16();
  const uint16_t ref = reader.Get16();
  if (reader.failed()) return fork;
  fork.result = 0;
  fork.bitmap = replyBitmap;
  fork.ref = ref;
  fork.parameters = reader.GetBytes(reader.remaining());
  return fork;
}

Transfer ReadFork(DsiClient& client, uint16_t ref, int64_t offset, uint32_t count, bool ext) {
  const auto reply = client.Command(ext ? ReadExtRequest(ref, offset, count)
                                        : ReadRequest(ref, static_cast<int32_t>(offset), count));
  if (!reply) return {};
  return {reply->errorCode, reply->payload};
}

Transfer WriteFork(DsiClient& client, uint16_t ref, int64_t offset, std::span<const uint8_t> data, bool ext,
                   uint8_t flag) {
  const auto count = static_cast<uint32_t>(data.size());
  const auto reply = client.Write(ext ? WriteExtHeader(ref, offset, count, flag)
                                      : WriteHeader(ref, static_cast<int32_t>(offset), count, flag),
                                  data);
  if (!reply) return {};
  return {reply->errorCode, reply->payload};
}

int64_t WritePosition(const Transfer& reply) {
  ReplyReader reader(reply.data);
  if (reply.data.size() == 4) return reader.Get32();
  if (reply.data.size() == 8) return static_cast<int64_t>(reader.Get64());
  return -1;
}

ByteVector Pattern(size_t size, uint32_t seed) {
  ByteVector bytes(size);
  uint32_t state = seed * 2654435761u + 12345u;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 23);
  }
  return bytes;
}

}  // namespace afptest
