#include "server/desktop/desktop_commands.h"

#include <memory>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/desktop/desktop_request.h"
#include "server/desktop/desktop_store.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"

namespace {

// A new desktop file is invisible, at icon location (20, 20).
int32_t GiveDesktopFinderInfo(const BEntry& desktop) {
  FINDER_INFO info{};
  info.bytes[9] = 0x40;  // Finder flags 0x4000, little-endian at rest
  info.bytes[10] = 20;   // vertical
  info.bytes[12] = 20;   // horizontal
  return BAFPObject::SetAFPFinderInfo(desktop, &info);
}

// The share's desktop file, created on first use. An existing file is
// never emptied, also when another session creates it meanwhile.
int32_t DesktopEntry(const BAFPVolume& volume, BEntry* desktop) {
  const BEntry root = volume.GetRootEntry();
  *desktop = root.Child(kDesktopFileName);
  if (desktop->Exists()) return kFPNoErr;
  BDirectory folder(root);
  const status_t created = folder.CreateFile(kDesktopFileName, true, desktop);
  if (created == B_FILE_EXISTS) return kFPNoErr;
  if (created != B_OK) return kFPParamErr;
  return GiveDesktopFinderInfo(*desktop);
}

}  // namespace

AFP_HANDLER(FPOpenDT) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  VolumeRef volume;
  if (afpReadOpenVolume(session, in, &volume) != kFPNoErr) return kFPParamErr;
  BEntry desktop;
  const int32_t result = DesktopEntry(*volume, &desktop);
  if (result != kFPNoErr) return result;
  auto file = std::make_unique<BFile>();
  // A link or anything but a plain file in its place is refused.
  if (file->SetTo(desktop, BFile::kReadWrite) != B_OK) return kFPParamErr;
  uint16_t reference = 0;
  const int32_t opened = session->OpenDesktop(desktop, std::move(file), volume->GetVolumeID(), &reference);
  if (opened != kFPNoErr) return opened;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(reference));
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPCloseDT) {
  BAFPBuffer in(request, requestLength);
  const uint16_t reference = afpReadDesktopReference(in);
  if (in.ReadPastEnd()) return kFPParamErr;
  return session->CloseDesktop(reference);
}
