#include "server/admin/admin_messages.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/node_monitor.h"
#include "server/admin/server_messages.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_stats.h"
#include "server/auth/account_store.h"
#include "server/dsi/session_manager.h"
#include "server/volume/volume_registry.h"

namespace {

void Answer(BMessage* message, uint32_t code) {
  if (message->IsSourceWaiting()) message->SendReply(code);
}

void Answer(BMessage* message, int32_t code) { Answer(message, static_cast<uint32_t>(code)); }

BMessage Success() { return BMessage(kAdminSuccess); }

void Answer(BMessage* message, const BMessage& reply) {
  if (message->IsSourceWaiting()) message->SendReply(reply);
}

bool FindText(const BMessage* message, const char* field, std::string* text) {
  return message->FindString(field, text) == B_OK;
}

// Account flags from "afp-int32", or the enabled bit from "afp-bool".
bool FindAccountFlags(const BMessage* message, uint32_t current, uint32_t* flags) {
  int32_t value = 0;
  if (message->FindInt32(kAdminFlagsField, &value) == B_OK) {
    *flags = static_cast<uint32_t>(value);
    return true;
  }
  bool enabled = false;
  if (message->FindBool(kAdminBoolField, &enabled) != B_OK) return false;
  *flags = enabled ? current | kAccountEnabled : current & ~kAccountEnabled;
  return true;
}

BMessage AccountReply(const AFP_USER_DATA& account) {
  BMessage reply = Success();
  reply.AddString(kAdminUserField, std::string(account.name, strnlen(account.name, sizeof(account.name))));
  reply.AddString(kAdminPasswordField, std::string(account.password, strnlen(account.password, sizeof(account.password))));
  reply.AddInt32(kAdminFlagsField, static_cast<int32_t>(account.flags));
  reply.AddBool(kAdminBoolField, (account.flags & kAccountEnabled) != 0);
  return reply;
}

void AddShare(BMessage* message) {
  std::string path;
  int32_t flags = 0;
  VolumeStorageData record;
  if (!FindText(message, kAdminTextField, &path)) return Answer(message, kAdminFailure);
  message->FindInt32(kAdminFlagsField, &flags);
  if (!afpMakeVolumeRecord(path.c_str(), static_cast<uint32_t>(flags), &record)) return Answer(message, kAdminFailure);
  SaveVolumeData(&record);
  Answer(message, StartSharingVolume(&record) == 0 ? kAdminSuccess : static_cast<uint32_t>(kAFPStartSharingFailed));
}

void RemoveShare(BMessage* message) {
  std::string path;
  if (!FindText(message, kAdminTextField, &path)) return Answer(message, kAdminFailure);
  if (StopSharingVolume(path.c_str()) != 0) return Answer(message, kAFPStopSharingFailed);
  RemoveVolumeData(path.c_str());
  Answer(message, kAdminSuccess);
}

void GetShareFlags(BMessage* message) {
  std::string path;
  VolumeStorageData record;
  if (!FindText(message, kAdminTextField, &path) || GetVolumeData(path.c_str(), &record) != 0)
    return Answer(message, kAdminFailure);
  BMessage reply = Success();
  reply.AddInt32(kAdminFlagsField, static_cast<int32_t>(record.flags));
  Answer(message, reply);
}

void SetShareFlags(BMessage* message) {
  std::string path;
  int32_t flags = 0;
  VolumeStorageData record;
  if (!FindText(message, kAdminTextField, &path) || message->FindInt32(kAdminFlagsField, &flags) != B_OK ||
      GetVolumeData(path.c_str(), &record) != 0)
    return Answer(message, kAdminFailure);
  record.flags = static_cast<uint32_t>(flags);
  SaveVolumeData(&record);
  Answer(message, kAdminSuccess);
}

// 'gvol' and 'gvnm': the name or the path of the share at an index.
void DescribeShare(BMessage* message, bool path) {
  int16_t index = 0;
  if (message->FindInt16(kAdminIndexField, &index) != B_OK) return;
  const auto position = static_cast<uint16_t>(index);
  VolumeRef volume;
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    if (gAFPVolumeList != nullptr && position < gAFPVolumeList->size()) volume = (*gAFPVolumeList)[position];
  }
  if (!volume) return Answer(message, kAdminFailure);
  BMessage reply = Success();
  reply.AddString(kAdminTextField, path ? volume->GetPath() : std::string(volume->GetVolumeName()));
  Answer(message, reply);
}

void SetMessage(BMessage* message, bool server) {
  std::string text;
  if (!FindText(message, kAdminTextField, &text)) return Answer(message, kAFPMissingTextField);
  const int32_t result = server ? afp_SetServerMessage(text.c_str()) : afp_SetLogonMessage(text.c_str());
  if (result != 0) return Answer(message, kAdminFailure);
  if (server) {
    if (BAFPSessMgr* manager = gAFPSessionMgr.load()) manager->SendGlobalAttention(kAttentionServerMessage);
  }
  Answer(message, kAdminSuccess);
}

void AddUser(BMessage* message) {
  std::string name;
  std::string password;
  uint32_t flags = 0;
  if (!FindText(message, kAdminUserField, &name)) return Answer(message, kAdminFailure);
  if (!FindText(message, kAdminPasswordField, &password) || !FindAccountFlags(message, 0, &flags)) return;
  Answer(message, afpSaveNewUser(name.c_str(), password.c_str(), flags) == kFPNoErr ? kAdminSuccess : kAdminFailure);
}

void UpdateUser(BMessage* message) {
  std::string name;
  std::string password;
  AFP_USER_DATA account;
  if (!FindText(message, kAdminUserField, &name) || !FindText(message, kAdminPasswordField, &password) ||
      password.size() >= sizeof(account.password) || afpGetUserDataByName(name.c_str(), &account) != kFPNoErr ||
      !FindAccountFlags(message, account.flags, &account.flags))
    return Answer(message, kAdminFailure);
  std::memset(account.password, 0, sizeof(account.password));
  std::memcpy(account.password, password.data(), password.size());
  Answer(message, afpUpdateUserInfo(account) == kFPNoErr ? kAdminSuccess : kAdminFailure);
}

void DeleteUser(BMessage* message) {
  std::string name;
  if (!FindText(message, kAdminUserField, &name)) return Answer(message, kAdminFailure);
  afpDeleteUser(name.c_str());
  Answer(message, kAdminSuccess);
}

void GetUser(BMessage* message) {
  std::string name;
  AFP_USER_DATA account;
  if (!FindText(message, kAdminUserField, &name)) return;
  if (afpGetUserDataByName(name.c_str(), &account) != kFPNoErr) return Answer(message, kAdminFailure);
  Answer(message, AccountReply(account));
}

void GetIndUser(BMessage* message) {
  int16_t index = 0;
  AFP_USER_DATA account;
  if (message->FindInt16(kAdminIndexField, &index) != B_OK || afpGetIndUser(&account, index) != kFPNoErr)
    return Answer(message, kAdminFailure);
  Answer(message, AccountReply(account));
}

void GetGuestsAllowed(BMessage* message) {
  BMessage reply = Success();
  reply.AddBool(kAdminBoolField, afpAccountEnabled(kGuestAccountName));
  Answer(message, reply);
}

// Guest access is the enabled bit of the "Guest" account.
void SetGuestsAllowed(BMessage* message) {
  bool allowed = false;
  if (message->FindBool(kAdminBoolField, &allowed) != B_OK) return Answer(message, kAdminFailure);
  AFP_USER_DATA guest;
  int32_t result;
  if (afpGetUserDataByName(kGuestAccountName, &guest) == kFPNoErr) {
    guest.flags = allowed ? guest.flags | kAccountEnabled : guest.flags & ~kAccountEnabled;
    result = afpUpdateUserInfo(guest);
  } else {
    result = afpSaveNewUser(kGuestAccountName, "", kAccountGuestDefault | (allowed ? kAccountEnabled : 0));
  }
  Answer(message, result == kFPNoErr ? kAdminSuccess : kAdminFailure);
}

template <typename Value>
void AnswerStatistic(BMessage* message, const char* field, Value value) {
  BMessage reply = Success();
  if constexpr (sizeof(Value) == 8)
    reply.AddInt64(field, static_cast<int64_t>(value));
  else
    reply.AddInt32(field, static_cast<int32_t>(value));
  Answer(message, reply);
}

void WithdrawMovedShare(BMessage* message) {
  int32_t opcode = 0;
  int32_t device = -1;
  int64_t node = -1;
  message->FindInt32("opcode", &opcode);
  if (opcode != B_ENTRY_REMOVED && opcode != B_ENTRY_MOVED) return;
  message->FindInt32("device", &device);
  message->FindInt64("node", &node);
  VolumeRef volume = FindVolume(node_ref{device, node});
  if (!volume) return;
  // Copied first: the registry lets go of the volume when it stops sharing it.
  const std::string path = volume->GetPath();
  volume.reset();
  afpNotifyShareWithdrawn(path.c_str());
  StopSharingVolume(path.c_str());
  RemoveVolumeData(path.c_str());
}

}  // namespace

void afpNotifyShareWithdrawn(const char* path) {
  std::fprintf(stderr,
               "You have moved, renamed or deleted the AFP share point:\n\n%s\n\nThe volume is no longer shared by "
               "corvane\n",
               path);
  std::fflush(stderr);
}

bool afpHandleAdminMessage(BMessage* message) {
  switch (message->what) {
    case kAdminAddShare: AddShare(message); break;
    case kAdminRemoveShare: RemoveShare(message); break;
    case kAdminGetShareFlags: GetShareFlags(message); break;
    case kAdminSetShareFlags: SetShareFlags(message); break;
    case kAdminGetVolumeName: DescribeShare(message, false); break;
    case kAdminGetVolumePath: DescribeShare(message, true); break;
    case kAdminSendServerMessage: SetMessage(message, true); break;
    case kAdminUpdateLogonMessage: SetMessage(message, false); break;
    case kAdminAddUser: AddUser(message); break;
    case kAdminUpdateUser: UpdateUser(message); break;
    case kAdminDeleteUser: DeleteUser(message); break;
    case kAdminGetUser: GetUser(message); break;
    case kAdminGetIndUser: GetIndUser(message); break;
    case kAdminGetGuestsAllowed: GetGuestsAllowed(message); break;
    case kAdminSetGuestsAllowed: SetGuestsAllowed(message); break;
    case kAdminBytesSent: AnswerStatistic(message, kAdminCounterField, gAFPStats.Net_BytesSent()); break;
    case kAdminBytesReceived: AnswerStatistic(message, kAdminCounterField, gAFPStats.Net_BytesRecv()); break;
    case kAdminBytesPerSecond: AnswerStatistic(message, kAdminFlagsField, gAFPStats.Net_BytesPerSecond()); break;
    case kAdminPacketsProcessed: AnswerStatistic(message, kAdminFlagsField, gAFPStats.DSI_NumPacketsProcessed()); break;
    case kAdminOpenSessions: {
      BAFPSessMgr* manager = gAFPSessionMgr.load();
      AnswerStatistic(message, kAdminFlagsField, manager != nullptr ? manager->NumOpenSessions() : 0);
      break;
    }
    case B_NODE_MONITOR: WithdrawMovedShare(message); break;
    default: return false;
  }
  return true;
}
