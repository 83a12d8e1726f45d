#include "server/desktop/desktop_request.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"
#include "server/volume/volume_registry.h"

uint16_t afpReadDesktopReference(BAFPBuffer& in) {
  in.Advance(2);
  return static_cast<uint16_t>(in.GetInt16());
}

int32_t afpDesktopVolume(BAFPSession* session, uint16_t reference, VolumeRef* volume) {
  const DESK_ITEM* item = session->GetDeskItem(reference);
  if (item == nullptr) return kFPParamErr;
  *volume = FindVolume(item->volumeID);
  return *volume ? kFPNoErr : kFPParamErr;
}

int32_t afpReadDesktopPath(BAFPBuffer& in, char* path, uint16_t size) {
  return afpReadPath(in, path, size) == kFPNoErr ? kFPNoErr : kFPParamErr;
}

int32_t afpResolveOnDesktop(BAFPSession* session, uint16_t reference, int32_t dirID, const char* path,
                            VolumeRef* volume, BEntry* entry) {
  const int32_t result = afpDesktopVolume(session, reference, volume);
  if (result != kFPNoErr) return result;
  return BAFPObject::SetAFPEntry(volume->get(), dirID, path, *entry, false);
}
