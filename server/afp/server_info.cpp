#include "server/afp/server_info.h"

#include <cstring>
#include <iterator>

#include "platform/clock.h"
#include "server/afp/afp_result.h"
#include "server/auth/account_store.h"
#include "server/auth/login.h"
#include "server/dsi/dsi_protocol.h"
#include "server/dsi/listener.h"
#include "server/volume/volume_registry.h"

namespace {

const char* const kMachineType = "BeOS";

// Offsets inside the block, patched once the positions are known.
constexpr int32_t kMachineTypeOffsetField = 0;
constexpr int32_t kVersionsOffsetField = 2;
constexpr int32_t kMethodsOffsetField = 4;

void PatchOffset(BAFPBuffer& reply, int32_t field, int32_t value) {
  BAFPBuffer patch(reply.GetBuffer() + field, 2);
  patch.AddInt16(static_cast<int16_t>(value));
}

}  // namespace

int32_t afpWriteServerInfo(BAFPBuffer& reply, const char* serverName, bool guestListed) {
  reply.AddInt16(0);  // machine type offset
  reply.AddInt16(0);  // AFP versions offset
  reply.AddInt16(0);  // login methods offset
  reply.AddInt16(0);  // no volume icon
  reply.AddInt16(kServerFlags);
  reply.AddCStringAsPascal(serverName);
  if (reply.GetDataLength() % 2 != 0) reply.AddInt8(0);
  const int32_t n = reply.GetDataLength();
  reply.AddInt16(0);  // server signature offset
  reply.AddInt16(0);  // network address list offset
  // Directory names and UTF-8 server name: none (their flag bits are clear),
  // but clients that read the standard layout expect the two offsets here.
  reply.AddInt16(0);
  reply.AddInt16(0);

  PatchOffset(reply, kMachineTypeOffsetField, reply.GetDataLength());
  reply.AddCStringAsPascal(kMachineType);
  PatchOffset(reply, kVersionsOffsetField, reply.GetDataLength());
  reply.AddInt8(static_cast<int8_t>(std::size(kAFPVersionNames)));
  for (const char* version : kAFPVersionNames) reply.AddCStringAsPascal(version);
  PatchOffset(reply, kMethodsOffsetField, reply.GetDataLength());
  // The guest method comes first in the table and is listed only when
  // guests may log in.
  const size_t first = guestListed ? 0 : 1;
  reply.AddInt8(static_cast<int8_t>(std::size(kLoginMethodNames) - first));
  for (size_t i = first; i < std::size(kLoginMethodNames); ++i) reply.AddCStringAsPascal(kLoginMethodNames[i]);

  PatchOffset(reply, n, reply.GetDataLength());
  reply.AddInt8(0);  // server signature: a single zero byte
  PatchOffset(reply, n + 2, reply.GetDataLength());
  reply.AddInt8(0);  // no network addresses
  return kFPNoErr;
}

AFP_HANDLER(FPGetSrvrInfo) {
  char name[kServerNameSize];
  afpCopyServerName(name);
  BAFPBuffer out(reply, kReplyAreaSize);
  const int32_t result = afpWriteServerInfo(out, name, afpAccountEnabled(kGuestAccountName));
  *replyLength = out.GetDataLength();
  return result;
}

AFP_HANDLER(FPGetSrvrParms) {
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt32(real_time_clock());
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  const size_t count = gAFPVolumeList != nullptr ? gAFPVolumeList->size() : 0;
  signed char* const countField = out.GetCurrentPosPtr();
  out.AddInt8(0);
  // Volumes that do not fit the reply are left out; the count says how many
  // the reply holds.
  uint8_t listed = 0;
  for (size_t i = 0; i < count && listed < UINT8_MAX; ++i) {
    const char* name = (*gAFPVolumeList)[i]->GetVolumeName();
    if (!out.CheckSpaceNeeded(2 + static_cast<int32_t>(std::strlen(name) % 256))) break;
    out.AddInt8(0);  // no password, no Apple II information
    out.AddCStringAsPascal(name);
    ++listed;
  }
  *countField = static_cast<signed char>(listed);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}
