#include "server/volume/volume_commands.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/object_request.h"
#include "server/volume/volume_registry.h"

namespace {

// Volume names a client can name in FPOpenVol: at most 27 bytes.
constexpr uint16_t kOpenVolNameSize = 28;


}  // namespace

AFP_HANDLER(FPOpenVol) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  const auto bitmap = static_cast<uint16_t>(in.GetInt16());
  char name[kOpenVolNameSize];
  int16_t nameLength = 0;
  if (in.ReadPastEnd() || in.GetPascalString(name, sizeof(name), &nameLength) != kFPNoErr) return kFPParamErr;
  // The pad and the password that follow are not used (shares have no
  // passwords); clients may leave them out.
  VolumeRef volume = FindVolume(name);
  if (!volume) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  const int32_t result = volume->fp_GetVolParms(bitmap, out);
  if (result != kFPNoErr) return result;
  const int32_t opened = session->VolumeOpened(volume);
  if (opened != kFPNoErr) return opened;
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPGetVolParms) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  VolumeRef volume;
  const int32_t opened = afpReadOpenVolume(session, in, &volume);
  const auto bitmap = static_cast<uint16_t>(in.GetInt16());
  if (opened != kFPNoErr || in.ReadPastEnd()) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  const int32_t result = volume->fp_GetVolParms(bitmap, out);
  if (result == kFPNoErr) *replyLength = out.GetDataLength();
  return result;
}

AFP_HANDLER(FPFlush) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  VolumeRef volume;
  // Writes reach the file system as they are made: nothing to flush.
  return afpReadOpenVolume(session, in, &volume);
}

AFP_HANDLER(FPCloseVol) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  const auto volumeID = static_cast<uint16_t>(in.GetInt16());
  if (in.ReadPastEnd()) return kFPParamErr;
  // Closing a volume that is not open is not an error.
  VolumeRef volume;
  return session->HasVolumeOpen(volumeID, &volume) ? session->VolumeClosed(volume.get()) : kFPNoErr;
}
