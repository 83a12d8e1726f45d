#include "server/admin/server_messages.h"

#include <cstring>
#include <mutex>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/dsi/dsi_protocol.h"

namespace {

constexpr int16_t kLogonMessageType = 0;
constexpr int16_t kServerMessageType = 1;
constexpr int16_t kMessageInUTF8 = 0x0002;

// Written on the application thread, read on connection threads: each copy
// in or out happens under this lock.
std::mutex gMessageLock;
char g_afpLoginMessage[kMessageBufferSize];
char g_afpSrvrMessage[kMessageBufferSize];

int32_t SetMessage(char (&buffer)[kMessageBufferSize], const char* text) {
  const size_t length = text != nullptr ? strnlen(text, kMessageBufferSize) : 0;
  if (length >= static_cast<size_t>(kMessageBufferSize)) return -1;
  std::lock_guard<std::mutex> guard(gMessageLock);
  std::memset(buffer, 0, sizeof(buffer));
  if (length > 0) std::memcpy(buffer, text, length);
  return 0;
}

std::string CopyMessage(const char (&buffer)[kMessageBufferSize]) {
  std::lock_guard<std::mutex> guard(gMessageLock);
  return std::string(buffer);
}

}  // namespace

int32_t afp_SetLogonMessage(const char* text) { return SetMessage(g_afpLoginMessage, text); }

int32_t afp_SetServerMessage(const char* text) { return SetMessage(g_afpSrvrMessage, text); }

void afp_Initialize() {
  std::lock_guard<std::mutex> guard(gMessageLock);
  std::memset(g_afpLoginMessage, 0, sizeof(g_afpLoginMessage));
  std::memset(g_afpSrvrMessage, 0, sizeof(g_afpSrvrMessage));
}

std::string afpLogonMessage() { return CopyMessage(g_afpLoginMessage); }

std::string afpServerMessage() { return CopyMessage(g_afpSrvrMessage); }

AFP_HANDLER(FPGetServerMessage) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);  // command, pad
  const int16_t type = in.GetInt16();
  const int16_t bitmap = in.GetInt16();
  if (in.ReadPastEnd()) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(type);
  out.AddInt16(bitmap);
  if (type != kLogonMessageType && type != kServerMessageType) return kFPParamErr;
  const std::string text = type == kLogonMessageType ? afpLogonMessage() : afpServerMessage();
  // A text that does not fit ends the reply with what was written.
  if (bitmap & kMessageInUTF8)
    out.AddUniString(text.c_str(), false, true);
  else
    out.AddCStringAsPascal(text.c_str());
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}
