#include "tests/client/server_info.h"

#include "tests/client/wire.h"

namespace afptest {

namespace {

// A count byte followed by that many Pascal strings, at offset.
bool ReadStringList(std::span<const uint8_t> reply, uint16_t offset, std::vector<std::string>& out) {
  ReplyReader reader(reply);
  reader.Seek(offset);
  const uint8_t count = reader.Get8();
  for (uint8_t i = 0; i < count && !reader.failed(); ++i) out.push_back(reader.GetPascal());
  return !reader.failed();
}

}  // namespace

std::optional<ServerInfo> ParseServerInfo(std::span<const uint8_t> reply) {
  ServerInfo info;
  ReplyReader reader(reply);
  info.machineTypeOffset = reader.Get16();
  info.versionsOffset = reader.Get16();
  info.uamsOffset = reader.Get16();
  info.iconOffset = reader.Get16();
  info.flags = reader.Get16();
  info.name = reader.GetPascal();
  if (reader.position() % 2 != 0) reader.Skip(1);
  info.signatureOffsetPosition = static_cast<uint16_t>(reader.position());
  info.signatureOffset = reader.Get16();
  info.addressOffset = reader.Get16();
  if (reader.failed()) return std::nullopt;

  // Offsets of 0 mean "absent" only for the icon; the others must point
  // inside the reply.
  for (uint16_t offset : {info.machineTypeOffset, info.versionsOffset, info.uamsOffset,
                          info.signatureOffset, info.addressOffset}) {
    if (offset >= reply.size()) return std::nullopt;
  }
  if (info.iconOffset != 0 && info.iconOffset >= reply.size()) return std::nullopt;

  ReplyReader machine(reply);
  machine.Seek(info.machineTypeOffset);
  info.machineType = machine.GetPascal();
  if (machine.failed()) return std::nullopt;
  if (!ReadStringList(reply, info.versionsOffset, info.versions)) return std::nullopt;
  if (!ReadStringList(reply, info.uamsOffset, info.uams)) return std::nullopt;
  return info;
}

}  // namespace afptest
