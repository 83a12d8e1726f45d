#include "server/fs/object_request.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"

int32_t afpReadOpenVolume(BAFPSession* session, BAFPBuffer& in, VolumeRef* volume) {
  const auto volumeID = static_cast<uint16_t>(in.GetInt16());
  if (in.ReadPastEnd() || !session->HasVolumeOpen(volumeID, volume)) return kFPParamErr;
  return kFPNoErr;
}

int32_t afpReadPath(BAFPBuffer& in, char* path, uint16_t size) {
  const signed char pathType = in.GetInt8();
  if (in.ReadPastEnd()) return kFPParamErr;
  const int32_t result = in.GetString(path, size, true, pathType);
  return in.ReadPastEnd() ? kFPParamErr : result;
}
