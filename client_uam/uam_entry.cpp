#include "client_uam/uam_entry.h"

namespace {

uint16_t GetBigEndian16(const unsigned char* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

void PutBigEndian32(unsigned char* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  at[0] = static_cast<unsigned char>(bits >> 24);
  at[1] = static_cast<unsigned char>(bits >> 16);
  at[2] = static_cast<unsigned char>(bits >> 8);
  at[3] = static_cast<unsigned char>(bits);
}

}  // namespace

extern "C" int32_t uamBeMain(void* block) {
  if (block == nullptr) return kUAMParamErr;
  auto* bytes = static_cast<unsigned char*>(block);
  switch (GetBigEndian16(bytes + kUAMSelectorOffset)) {
    case 0:
    case 2:
    case 5:
    case 8:
      // These commands have no result field to fill in.
      return kUAMParamErr;
    case 6:
      PutBigEndian32(bytes + kUAMField14Offset, 0);
      PutBigEndian32(bytes + kUAMField10Offset, 0);
      break;
    case 7:
      PutBigEndian32(bytes + kUAMField10Offset, 0);
      break;
    default:
      break;
  }
  PutBigEndian32(bytes + kUAMResultOffset, kUAMParamErr);
  return kUAMParamErr;
}
