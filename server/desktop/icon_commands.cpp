#include "server/desktop/icon_commands.h"

#include <algorithm>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/desktop/desktop_request.h"
#include "server/desktop/desktop_store.h"
#include "server/dsi/dsi_protocol.h"

namespace {

// Creator, file type and icon type (then a pad byte), as FPAddIcon and
// FPGetIcon send them.
DESKTOP_ENTRY ReadIconKey(BAFPBuffer& in) {
  uint8_t creator[4];
  uint8_t fileType[4];
  in.GetRawData(creator, sizeof(creator));
  in.GetRawData(fileType, sizeof(fileType));
  const auto iconType = static_cast<uint8_t>(in.GetInt8());
  in.Advance(1);
  DESKTOP_ENTRY key;
  key.SetIcon(creator, fileType, iconType);
  return key;
}

}  // namespace

AFP_HANDLER(FPAddIcon) {
  BAFPBuffer in(request, requestLength);
  const uint16_t reference = afpReadDesktopReference(in);
  DESKTOP_ENTRY record = ReadIconKey(in);
  record.tag = static_cast<uint32_t>(in.GetInt32());
  const int16_t size = in.GetInt16();
  // The bitmap must fit the record and be present in full.
  if (in.ReadPastEnd() || size < 0 || size > kIconBitmapCapacity || size > in.Remaining()) return kFPParamErr;
  record.SetBitmapSize(size);
  in.GetRawData(record.data, size);
  return afp_AddEntry(session, reference, &record);
}

AFP_HANDLER(FPGetIcon) {
  BAFPBuffer in(request, requestLength);
  const uint16_t reference = afpReadDesktopReference(in);
  const DESKTOP_ENTRY key = ReadIconKey(in);
  const int16_t length = in.GetInt16();
  if (in.ReadPastEnd()) return kFPParamErr;
  DESKTOP_ENTRY icon;
  const int32_t result = afp_FindDTEntry(session, reference, &key, 0, nullptr, &icon);
  if (result != kFPNoErr) return result;
  // A stored size outside the bitmap area (a damaged record) is cut to it.
  const int32_t stored = std::clamp<int32_t>(icon.BitmapSize(), 0, kIconBitmapCapacity);
  const int32_t count = std::min<int32_t>(length, stored);
  if (count > 0) {
    BAFPBuffer out(reply, kReplyAreaSize);
    out.AddRawData(icon.data, count);
    *replyLength = out.GetDataLength();
  }
  return kFPNoErr;
}

AFP_HANDLER(FPGetIconInfo) {
  BAFPBuffer in(request, requestLength);
  const uint16_t reference = afpReadDesktopReference(in);
  uint8_t creator[4];
  in.GetRawData(creator, sizeof(creator));
  const int16_t index = in.GetInt16();
  if (in.ReadPastEnd()) return kFPParamErr;
  // Index 0 asks for the icon of file type 0 and icon type 0.
  const uint8_t noType[4] = {};
  DESKTOP_ENTRY key;
  key.SetIcon(creator, noType, 0);
  DESKTOP_ENTRY icon;
  const int32_t result = afp_FindDTEntry(session, reference, &key, index, nullptr, &icon);
  if (result != kFPNoErr) return result;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt32(static_cast<int32_t>(icon.tag));
  out.AddRawData(icon.fileType, sizeof(icon.fileType));
  out.AddInt8(static_cast<int8_t>(icon.IconType()));
  out.AddInt8(0);
  out.AddInt16(icon.BitmapSize());
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}
