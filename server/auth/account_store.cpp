#include "server/auth/account_store.h"

#include <cstring>
#include <mutex>
#include <string>

#include "platform/find_directory.h"
#include "server/afp/afp_result.h"
#include "server/volume/settings_file.h"

namespace {

// Serialises the account functions: a replacement removes and re-creates
// its record, and no reader may see the account missing in between.
std::recursive_mutex gAccountLock;

std::string RecordName(const char* name) { return std::string(kAccountRecordPrefix) + name; }

constexpr size_t kFieldSize = sizeof(AFP_USER_DATA::name);

bool FitsField(const char* text) { return text == nullptr || std::strlen(text) < kFieldSize; }

void CopyField(char (&field)[kFieldSize], const char* text) {
  std::strncpy(field, text != nullptr ? text : "", kFieldSize - 1);
}

}  // namespace

int32_t afpSaveNewUser(const char* name, const char* password, uint32_t flags) {
  std::lock_guard<std::recursive_mutex> guard(gAccountLock);
  if (name == nullptr) return kAFPNoSuchUser;
  // A name or password that does not fit its field would be stored cut
  // short: refuse it rather than keep a different password than was given.
  if (!FitsField(name) || !FitsField(password)) return kFPParamErr;
  if (afpGetUserDataByName(name, nullptr) == kFPNoErr) return kAFPUserExists;
  std::string folder;
  if (FindUserSettingsDirectory(&folder) != B_OK) return kFPNoErr;
  BNode file;
  if (afpOpenSettingsFile(&file, true) != B_OK) return kAFPSettingsUnavailable;
  AFP_USER_DATA record{};
  CopyField(record.name, name);
  CopyField(record.password, password);
  record.flags = flags;
  file.WriteAttr(RecordName(name).c_str(), 0, 0, &record, sizeof(record));
  return kFPNoErr;
}

int32_t afpGetIndUser(AFP_USER_DATA* out, int16_t index) {
  std::lock_guard<std::recursive_mutex> guard(gAccountLock);
  BNode file;
  if (afpOpenSettingsFile(&file, false) != B_OK) return kAFPSettingsUnavailable;
  // Only the record at the position is read; one that reads back empty
  // gives its position to the next.
  int16_t position = 0;
  bool found = false;
  afpForEachSettingsRecordName(file, kAccountRecordPrefix, [&](const char* name) {
    if (position != index) {
      ++position;
      return true;
    }
    found = afpReadSettingsRecord(file, name, out, sizeof(*out));
    return !found;
  });
  return found ? kFPNoErr : kAFPNoUserAtIndex;
}

int32_t afpGetUserDataByName(const char* name, AFP_USER_DATA* out) {
  std::lock_guard<std::recursive_mutex> guard(gAccountLock);
  if (name == nullptr) return kAFPNoSuchUser;
  BNode file;
  if (afpOpenSettingsFile(&file, false) != B_OK) return kAFPNoSuchUser;
  AFP_USER_DATA record;
  const auto matches = [&record, name] {
    return std::strlen(name) < sizeof(record.name) && strncmp(record.name, name, sizeof(record.name)) == 0;
  };
  // An account is stored under its own name, so its record is read
  // directly instead of walking every record of the file.
  const bool found = afpReadSettingsRecord(file, RecordName(name).c_str(), &record, sizeof(record)) && matches();
  if (!found) return kAFPNoSuchUser;
  if (out != nullptr) *out = record;
  return kFPNoErr;
}

int32_t afpDeleteUser(const char* name) {
  std::lock_guard<std::recursive_mutex> guard(gAccountLock);
  BNode file;
  if (name != nullptr && afpOpenSettingsFile(&file, false) == B_OK) file.RemoveAttr(RecordName(name).c_str());
  return kFPNoErr;
}

bool afpAccountEnabled(const char* name) {
  AFP_USER_DATA record;
  return afpGetUserDataByName(name, &record) == kFPNoErr && (record.flags & kAccountEnabled) != 0;
}

int32_t afpUpdateUserInfo(AFP_USER_DATA record) {
  std::lock_guard<std::recursive_mutex> guard(gAccountLock);
  record.name[sizeof(record.name) - 1] = '\0';
  record.password[sizeof(record.password) - 1] = '\0';
  const int32_t removed = afpDeleteUser(record.name);
  if (removed != kFPNoErr) return removed;
  return afpSaveNewUser(record.name, record.password, record.flags);
}
