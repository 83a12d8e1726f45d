#include "server/desktop/application_commands.h"

#include <cstring>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/desktop/desktop_request.h"
#include "server/desktop/desktop_store.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/afp_object.h"

namespace {

// What FPAddAPPL and FPRemoveAPPL send: the directory ID, the creator, and
// (FPAddAPPL only) the tag, then the application's path.
struct ApplicationRequest {
  uint16_t reference = 0;
  DESKTOP_ENTRY record;
};

int32_t ReadApplicationRequest(BAFPBuffer& in, bool withTag, ApplicationRequest* request) {
  request->reference = afpReadDesktopReference(in);
  request->record.SetDirID(static_cast<uint32_t>(in.GetInt32()));
  request->record.SetApplication(static_cast<uint32_t>(in.GetInt32()));
  if (withTag) request->record.tag = static_cast<uint32_t>(in.GetInt32());
  if (in.ReadPastEnd()) return kFPParamErr;
  char name[kApplicationNameCapacity + 1];
  if (afpReadDesktopPath(in, name, sizeof(name)) != kFPNoErr) return kFPParamErr;
  std::memcpy(request->record.data, name, std::strlen(name) + 1);
  return kFPNoErr;
}

}  // namespace

AFP_HANDLER(FPAddAPPL) {
  BAFPBuffer in(request, requestLength);
  ApplicationRequest application;
  if (ReadApplicationRequest(in, true, &application) != kFPNoErr) return kFPParamErr;
  return afp_AddEntry(session, application.reference, &application.record);
}

// The directory ID and name are read but not compared: the creator's
// mapping goes, wherever it points.
AFP_HANDLER(FPRemoveAPPL) {
  BAFPBuffer in(request, requestLength);
  ApplicationRequest application;
  if (ReadApplicationRequest(in, false, &application) != kFPNoErr) return kFPParamErr;
  return afp_RemoveEntry(session, application.reference, &application.record);
}

AFP_HANDLER(FPGetAPPL) {
  BAFPBuffer in(request, requestLength);
  const uint16_t reference = afpReadDesktopReference(in);
  DESKTOP_ENTRY key;
  key.SetApplication(static_cast<uint32_t>(in.GetInt32()));
  const int16_t index = in.GetInt16();
  const auto bitmap = static_cast<uint16_t>(in.GetInt16());
  if (in.ReadPastEnd()) return kFPParamErr;
  DESKTOP_ENTRY mapping;
  int32_t result = afp_FindDTEntry(session, reference, &key, index, nullptr, &mapping);
  if (result != kFPNoErr) return result;
  // A damaged record's name is cut at the end of its area.
  mapping.data[kIconBitmapCapacity - 1] = 0;
  VolumeRef volume;
  BEntry application;
  result = afpResolveOnDesktop(session, reference, static_cast<int32_t>(mapping.DirID()),
                               reinterpret_cast<const char*>(mapping.data), &volume, &application);
  if (result != kFPNoErr) return result;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(bitmap));
  out.AddInt32(static_cast<int32_t>(mapping.tag));
  result = BAFPObject::fp_GetFileParms(session, volume.get(), application, bitmap, &out);
  if (result == kFPNoErr) *replyLength = out.GetDataLength();
  return result;
}
