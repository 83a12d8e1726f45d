// BAFPSession: everything the server knows about one client — request ids
// and tickle times, login state, reconnect data, and what the client has
// open. Handlers run on the connection's receive thread; the session manager
// and other connections read the transport and reconnect fields, which are
// therefore atomic or locked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/auth/login.h"
#include "server/desktop/desk_item.h"
#include "server/fork/open_fork.h"
#include "server/volume/afp_volume.h"

class BAFPConnection;
class EnumerationCursor;
struct AFP_USER_DATA;

inline constexpr int32_t kMaxOpenVolumes = 16;
inline constexpr int32_t kMaxUserNameLength = 128;
inline constexpr int32_t kMaxOpenDesktops = 64;
// The AFP version code of "AFP2.2"; later versions count up, 0 is none.
inline constexpr signed char kAFPVersion22 = 1;

// Attention sent to a session that is ended on purpose: server going down,
// do not reconnect.
inline constexpr uint16_t kAttentionSessionKilled = 0x9000;

class BAFPSession {
 public:
  // `connection` may be null (a session without transport, as in tests).
  explicit BAFPSession(BAFPConnection* connection);
  virtual ~BAFPSession();
  BAFPSession(const BAFPSession&) = delete;
  BAFPSession& operator=(const BAFPSession&) = delete;

  // Request ids. The first client request fixes the starting point; each
  // later one must carry the next number; after id 0 a new start is taken.
  virtual uint16_t GetNextClientRequestID(uint16_t received);
  virtual uint16_t GetCurrentRequestID() const;
  virtual uint16_t GetNextServerRequestID();

  // Open volumes (at most 16; the same volume may be opened twice). The
  // session keeps each open volume alive.
  virtual int32_t VolumeOpened(const VolumeRef& volume);
  virtual int32_t VolumeClosed(const BAFPVolume* volume);
  virtual bool HasVolumeOpen(const BAFPVolume* volume);
  // Whether the shared volume with that ID is open in this session; the
  // volume, when one has that ID, is stored through `volume` either way.
  virtual bool HasVolumeOpen(uint16_t volumeID, VolumeRef* volume);

  // Forks: at most 24 open; reference numbers count up from 1 and are not
  // given twice before the counter wraps.
  virtual int32_t OpenFile(const VolumeRef& volume, const BEntry& entry, uint16_t accessMode, int16_t forkType,
                           uint16_t* refNum);
  // Closes a fork: its locks go, a changed resource copy is written back, the
  // data file is synced. kFPIDNotFound for a reference that is not open.
  virtual int32_t CloseFile(uint16_t refNum);
  virtual OPEN_FORK_ITEM* GetForkItem(uint16_t refNum);
  // This session's open fork of that kind of the file, or null.
  virtual OPEN_FORK_ITEM* GetForkItem(const node_ref& file, int16_t forkType);
  // Writes a changed resource copy back; with `release`, frees the copy.
  virtual void CloseAndWriteOutResourceFork(OPEN_FORK_ITEM* fork, bool release);

  // Desktop databases: reference numbers count up from 1, skipping 0 and
  // numbers in use; at most 64 open. OpenDesktop takes the file (kFPParamErr
  // when it is missing or the table is full); CloseDesktop closes it
  // (kFPParamErr for a reference that is not open).
  virtual int32_t OpenDesktop(const BEntry& entry, std::unique_ptr<BFile> file, uint16_t volumeID,
                              uint16_t* refNum);
  virtual int32_t CloseDesktop(uint16_t refNum);
  virtual DESK_ITEM* GetDeskItem(uint16_t refNum);

  // Reconnect data.
  virtual void SetClientID(int32_t length, const signed char* id);
  virtual std::vector<signed char> GetClientID() const;
  // True when the client id is exactly these `length` bytes.
  virtual bool HasClientID(int32_t length, const signed char* id) const;
  virtual void SetAFPTimeStamp(uint32_t stamp);
  virtual uint32_t GetAFPTimeStamp() const;
  virtual int32_t GetToken() const;

  // Sends attention 0x9000 and ends the connection; returns at once.
  virtual void KillSession();

  // Login state.
  virtual void StoreTemporaryLogonInfo(const char* name, uint32_t key, signed char loginType);
  virtual const char* GetTemporaryUserName() const;
  virtual const char* GetUserName() const;
  virtual signed char GetUAMLoginType() const;
  virtual int32_t GetLogonKey() const;
  virtual void SetAFPVersion(signed char version);
  virtual signed char GetAFPVersion() const;
  // Sets the login type and, with an account, the user name from it.
  virtual void SetUAMLoginInfo(signed char loginType, const AFP_USER_DATA* account);
  // The stored account of the user name: 0, or -4000.
  virtual int32_t GetUserInfo(AFP_USER_DATA* out) const;
  virtual bool IsGuest() const;
  // False for guests. An account deleted since login ends the session. The
  // account is read at the first call of each request.
  virtual bool IsAdmin();
  virtual bool IsUser();
  virtual bool CanChangePassword() const;
  virtual bool IsAuthenticated() const;
  virtual void SetIsAuthenticated(bool authenticated);

  // Tickle times (seconds of the real-time clock) and sleep.
  virtual int32_t GetLastTickleRecvd() const;
  // Records a frame received now; any frame wakes a sleeping client.
  virtual void SetLastTickleRecvd();
  virtual int32_t GetLastTickleSent() const;
  virtual void SetLastTickleSent();
  virtual void SetClientIsSleeping(bool sleeping);
  virtual bool ClientIsSleeping() const;

  // Guards the tables of open things against the session manager.
  virtual void Lock();
  virtual void Unlock();

  BAFPConnection* Connection() const { return fConnection; }

  // Where the session's last folder enumeration stopped (receive thread only).
  EnumerationCursor& GetEnumerationCursor();

 private:
  std::atomic<int32_t> fLastReceived;
  std::atomic<int32_t> fLastSent;
  std::atomic<uint16_t> fClientRequestID{0};
  std::atomic<uint16_t> fServerRequestID{0};
  signed char fAFPVersion = 0;
  signed char fLoginType = kLoginNone;
  bool fAuthenticated = false;
  std::string fUserName;
  std::vector<VolumeRef> fOpenVolumes;
  std::vector<std::unique_ptr<OPEN_FORK_ITEM>> fForks;
  uint16_t fNextForkRef = 1;
  std::vector<std::unique_ptr<DESK_ITEM>> fDesktops;
  uint16_t fNextDeskRef = 1;
  std::recursive_mutex fLock;
  BAFPConnection* const fConnection;
  std::atomic<bool> fSleeping{false};
  mutable std::mutex fReconnectLock;  // the client id
  std::vector<signed char> fClientID;
  const int32_t fToken;
  std::atomic<uint32_t> fAFPTimeStamp{0};
  int32_t fLogonKey = 0;
  // Requests received so far, and the one whose IsAdmin answer is kept
  // (receive thread only).
  static constexpr uint64_t kNeverChecked = UINT64_MAX;
  uint64_t fRequestCount = 0;
  uint64_t fAdminCheckedAt = kNeverChecked;
  bool fIsAdmin = false;
  std::unique_ptr<EnumerationCursor> fEnumerationCursor;
};
