#include "server/afp/afp_session.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "server/afp/afp_result.h"
#include "server/afp/session_token.h"
#include "server/auth/account_store.h"
#include "server/fork/byte_range_lock.h"
#include "server/volume/volume_registry.h"
#include "server/dsi/afp_connection.h"
#include "server/fs/enumeration_cursor.h"

BAFPSession::BAFPSession(BAFPConnection* connection)
    : fLastReceived(real_time_clock()),
      fLastSent(real_time_clock()),
      fConnection(connection),
      fToken(afpAllocateSessionToken()) {}

BAFPSession::~BAFPSession() {
  {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    fOpenVolumes.clear();
  }
  // Every fork is closed: locks released, changed resource forks written
  // back, data files synced.
  while (true) {
    uint16_t refNum;
    {
      std::lock_guard<std::recursive_mutex> guard(fLock);
      if (fForks.empty()) break;
      refNum = fForks.front()->refNum;
    }
    CloseFile(refNum);
  }
  {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    fDesktops.clear();
  }
  afpReleaseSessionToken(fToken);
}

uint16_t BAFPSession::GetNextClientRequestID(uint16_t received) {
  ++fRequestCount;
  const uint16_t kept = fClientRequestID.load();
  const uint16_t next = kept == 0 ? received : static_cast<uint16_t>(kept + 1);
  fClientRequestID.store(next);
  return next;
}

uint16_t BAFPSession::GetCurrentRequestID() const { return fClientRequestID.load(); }

uint16_t BAFPSession::GetNextServerRequestID() { return fServerRequestID.fetch_add(1); }

int32_t BAFPSession::VolumeOpened(const VolumeRef& volume) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  if (static_cast<int32_t>(fOpenVolumes.size()) >= kMaxOpenVolumes) return kFPParamErr;
  fOpenVolumes.push_back(volume);
  return kFPNoErr;
}

int32_t BAFPSession::VolumeClosed(const BAFPVolume* volume) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  const auto found = std::find_if(fOpenVolumes.begin(), fOpenVolumes.end(),
                                  [volume](const VolumeRef& open) { return open.get() == volume; });
  if (found == fOpenVolumes.end()) return kFPParamErr;
  fOpenVolumes.erase(found);
  return kFPNoErr;
}

bool BAFPSession::HasVolumeOpen(const BAFPVolume* volume) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  return std::any_of(fOpenVolumes.begin(), fOpenVolumes.end(),
                     [volume](const VolumeRef& open) { return open.get() == volume; });
}

bool BAFPSession::HasVolumeOpen(uint16_t volumeID, VolumeRef* volume) {
  VolumeRef found = FindVolume(volumeID);
  if (!found) return false;
  const bool open = HasVolumeOpen(found.get());
  if (volume != nullptr) *volume = std::move(found);
  return open;
}

int32_t BAFPSession::OpenFile(const VolumeRef& volume, const BEntry& entry, uint16_t accessMode, int16_t forkType,
                              uint16_t* refNum) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  if (static_cast<int32_t>(fForks.size()) >= kMaxOpenForks) return kFPTooManyFilesOpen;
  auto fork = std::make_unique<OPEN_FORK_ITEM>();
  fork->refNum = fNextForkRef++;
  fork->forkType = forkType;
  fork->entry = entry;
  entry.GetNodeRef(&fork->node);
  fork->volume = volume;
  if (forkType != kDataFork) {
    fork->resource = afpReadResourceFork(entry);
    // Only a fork opened for writing passed the checks that allow changes.
    fork->readable = true;
    fork->writable = (accessMode & kAccessWrite) != 0;
  } else {
    const bool read = (accessMode & kAccessRead) != 0;
    const bool write = (accessMode & kAccessWrite) != 0;
    const BFile::Mode mode = write ? (read ? BFile::kReadWrite : BFile::kWriteOnly) : BFile::kReadOnly;
    auto file = std::make_unique<BFile>();
    // A data file that does not open leaves the fork open without a file.
    if (file->SetTo(entry, mode) == B_OK) {
      fork->file = std::move(file);
      fork->readable = mode != BFile::kWriteOnly;
      fork->writable = mode != BFile::kReadOnly;
    }
  }
  volume->AddOpenFile(fork.get());
  *refNum = fork->refNum;
  fForks.push_back(std::move(fork));
  return kFPNoErr;
}

OPEN_FORK_ITEM* BAFPSession::GetForkItem(uint16_t refNum) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  for (const auto& fork : fForks)
    if (fork->refNum == refNum) return fork.get();
  return nullptr;
}

OPEN_FORK_ITEM* BAFPSession::GetForkItem(const node_ref& file, int16_t forkType) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  for (const auto& fork : fForks)
    if (fork->node == file && fork->forkType == forkType) return fork.get();
  return nullptr;
}

void BAFPSession::CloseAndWriteOutResourceFork(OPEN_FORK_ITEM* fork, bool release) {
  if (fork->resource && fork->resourceDirty && afpWriteResourceFork(fork->entry, *fork->resource))
    fork->resourceDirty = false;
  if (release) fork->resource.reset();
}

int32_t BAFPSession::OpenDesktop(const BEntry& entry, std::unique_ptr<BFile> file, uint16_t volumeID,
                                 uint16_t* refNum) {
  if (!entry.IsSet() || !file || refNum == nullptr) return kFPParamErr;
  std::lock_guard<std::recursive_mutex> guard(fLock);
  if (static_cast<int32_t>(fDesktops.size()) >= kMaxOpenDesktops) return kFPParamErr;
  // With fewer than 64 open, a free number is found within 65 steps.
  while (fNextDeskRef == 0 || GetDeskItem(fNextDeskRef) != nullptr) ++fNextDeskRef;
  auto item = std::make_unique<DESK_ITEM>();
  item->refNum = fNextDeskRef++;
  item->volumeID = volumeID;
  item->file = std::move(file);
  item->entry = entry;
  *refNum = item->refNum;
  fDesktops.push_back(std::move(item));
  return kFPNoErr;
}

int32_t BAFPSession::CloseDesktop(uint16_t refNum) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  const auto found = std::find_if(fDesktops.begin(), fDesktops.end(),
                                  [refNum](const auto& item) { return item->refNum == refNum; });
  if (found == fDesktops.end()) return kFPParamErr;
  fDesktops.erase(found);
  return kFPNoErr;
}

DESK_ITEM* BAFPSession::GetDeskItem(uint16_t refNum) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  for (const auto& item : fDesktops)
    if (item->refNum == refNum) return item.get();
  return nullptr;
}

int32_t BAFPSession::CloseFile(uint16_t refNum) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  const auto found = std::find_if(fForks.begin(), fForks.end(),
                                  [refNum](const auto& fork) { return fork->refNum == refNum; });
  if (found == fForks.end()) return kFPIDNotFound;
  OPEN_FORK_ITEM* fork = found->get();
  {
    std::lock_guard<std::mutex> forkGuard(fork->forkLock);
    fork->volume->RemoveOpenFile(fork);
    if (fork->resource) CloseAndWriteOutResourceFork(fork, true);
    if (fork->file) {
      fork->file->Sync();
      fork->file.reset();
    }
    std::lock_guard<std::recursive_mutex> locks(gLockListLock);
    while (!fork->locks.empty()) delete fork->locks.back();
  }
  fForks.erase(found);
  return kFPNoErr;
}

void BAFPSession::SetClientID(int32_t length, const signed char* id) {
  if (id == nullptr || length < 0) return;
  std::lock_guard<std::mutex> guard(fReconnectLock);
  fClientID.assign(id, id + length);
}

std::vector<signed char> BAFPSession::GetClientID() const {
  std::lock_guard<std::mutex> guard(fReconnectLock);
  return fClientID;
}

bool BAFPSession::HasClientID(int32_t length, const signed char* id) const {
  std::lock_guard<std::mutex> guard(fReconnectLock);
  return length >= 0 && fClientID.size() == static_cast<size_t>(length) &&
         (length == 0 || std::memcmp(fClientID.data(), id, static_cast<size_t>(length)) == 0);
}

void BAFPSession::SetAFPTimeStamp(uint32_t stamp) { fAFPTimeStamp.store(stamp); }

uint32_t BAFPSession::GetAFPTimeStamp() const { return fAFPTimeStamp.load(); }

int32_t BAFPSession::GetToken() const { return fToken; }

void BAFPSession::KillSession() {
  if (fConnection == nullptr) return;
  fConnection->SendAttention(kAttentionSessionKilled);
  fConnection->KillSession(true);
}

void BAFPSession::StoreTemporaryLogonInfo(const char* name, uint32_t key, signed char loginType) {
  if (name == nullptr || std::strlen(name) > static_cast<size_t>(kMaxUserNameLength)) return;
  fUserName = name;
  fLogonKey = static_cast<int32_t>(key);
  fLoginType = loginType;
}

const char* BAFPSession::GetTemporaryUserName() const { return fUserName.c_str(); }

const char* BAFPSession::GetUserName() const { return fUserName.c_str(); }

signed char BAFPSession::GetUAMLoginType() const { return fLoginType; }

int32_t BAFPSession::GetLogonKey() const { return fLogonKey; }

void BAFPSession::SetAFPVersion(signed char version) { fAFPVersion = version; }

signed char BAFPSession::GetAFPVersion() const { return fAFPVersion; }

void BAFPSession::SetUAMLoginInfo(signed char loginType, const AFP_USER_DATA* account) {
  fLoginType = loginType;
  if (account != nullptr) fUserName.assign(account->name, strnlen(account->name, kMaxUserNameLength));
  fAdminCheckedAt = kNeverChecked;
}

int32_t BAFPSession::GetUserInfo(AFP_USER_DATA* out) const {
  return afpGetUserDataByName(fUserName.c_str(), out) == kFPNoErr ? kFPNoErr : kAFPNoSuchUser;
}

bool BAFPSession::IsGuest() const { return fLoginType == kLoginGuest; }

bool BAFPSession::IsAdmin() {
  if (IsGuest()) return false;
  // The account is read once per request: listing a folder asks for every
  // entry.
  if (fAdminCheckedAt == fRequestCount) return fIsAdmin;
  AFP_USER_DATA account;
  if (GetUserInfo(&account) != kFPNoErr) {
    KillSession();
    return false;
  }
  fIsAdmin = (account.flags & kAccountAdministrator) != 0;
  fAdminCheckedAt = fRequestCount;
  return fIsAdmin;
}

bool BAFPSession::IsUser() { return !IsGuest() && !IsAdmin(); }

bool BAFPSession::CanChangePassword() const {
  AFP_USER_DATA account;
  return GetUserInfo(&account) == kFPNoErr && (account.flags & kAccountMayChangePassword) != 0;
}

bool BAFPSession::IsAuthenticated() const { return fAuthenticated; }

void BAFPSession::SetIsAuthenticated(bool authenticated) { fAuthenticated = authenticated; }

int32_t BAFPSession::GetLastTickleRecvd() const { return fLastReceived.load(); }

void BAFPSession::SetLastTickleRecvd() {
  fLastReceived.store(real_time_clock());
  fSleeping.store(false);
}

int32_t BAFPSession::GetLastTickleSent() const { return fLastSent.load(); }

void BAFPSession::SetLastTickleSent() { fLastSent.store(real_time_clock()); }

void BAFPSession::SetClientIsSleeping(bool sleeping) { fSleeping.store(sleeping); }

bool BAFPSession::ClientIsSleeping() const { return fSleeping.load(); }

void BAFPSession::Lock() { fLock.lock(); }

void BAFPSession::Unlock() { fLock.unlock(); }

EnumerationCursor& BAFPSession::GetEnumerationCursor() {
  if (!fEnumerationCursor) fEnumerationCursor = std::make_unique<EnumerationCursor>();
  return *fEnumerationCursor;
}
