// The administration client functions of libuamshare.so: each one turns a
// call into administration messages for the running server and its reply
// into a result code.
#include "uamshare/uamshare_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/find_directory.h"
#include "platform/message.h"
#include "platform/messenger.h"
#include "platform/status.h"
#include "server/admin/admin_protocol.h"
#include "uamshare/share_path.h"

namespace {

static_assert(AFP_RESULT_FAIL == static_cast<int32_t>(FourCC("fail")));
static_assert(AFP_RESULT_NO_REPLY == static_cast<int32_t>(B_NO_REPLY));
static_assert(AFP_RESULT_NOT_UNDERSTOOD == static_cast<int32_t>(B_MESSAGE_NOT_UNDERSTOOD));
static_assert(AFP_RESULT_NOT_RUNNING == B_BAD_PORT_ID);

// The entry given to AFPAddShare cannot be used.
constexpr int32_t kUnusableEntry = -1;

// The outcome of one exchange: 0 for 'succ', else the reply's code, or the
// platform's status when the server could not be reached at all.
struct Answer {
  int32_t result = B_ERROR;
  BMessage reply;
};

Answer Ask(const BMessage& request) {
  Answer answer;
  const status_t sent = BMessenger(kServerSignature).SendMessage(request, &answer.reply);
  if (sent != B_OK) {
    answer.result = sent;
  } else {
    answer.result = answer.reply.what == kAdminSuccess ? 0 : static_cast<int32_t>(answer.reply.what);
  }
  return answer;
}

std::string TextOf(const char* text) { return text != nullptr ? text : ""; }

std::string TextOf(const afp_string* text) {
  if (text == nullptr) return {};
  return std::string(text->text, strnlen(text->text, sizeof text->text));
}

// Copies a text with its terminator; false when it does not fit.
template <size_t N>
bool CopyOut(const std::string& value, char (&out)[N]) {
  if (value.size() >= N) return false;
  std::memcpy(out, value.c_str(), value.size() + 1);
  return true;
}

BMessage WithIndex(uint32_t code, int16_t index) {
  BMessage request(code);
  request.AddInt16(kAdminIndexField, index);
  return request;
}

BMessage WithText(uint32_t code, const std::string& text) {
  BMessage request(code);
  request.AddString(kAdminTextField, text);
  return request;
}

// 'gvnm' and 'gvol': a text about the share at an index.
int32_t AskShareText(uint32_t code, int16_t index, afp_string* out) {
  if (index < 0) return AFP_RESULT_BAD_INDEX;
  const Answer answer = Ask(WithIndex(code, index));
  if (answer.result != 0) return answer.result;
  std::string value;
  if (answer.reply.FindString(kAdminTextField, &value) != B_OK) return AFP_RESULT_FAIL;
  if (out != nullptr && !CopyOut(value, out->text)) return AFP_RESULT_FAIL;
  return 0;
}

int32_t SetShareFlags(const std::string& path, uint32_t flags) {
  BMessage request = WithText(kAdminSetShareFlags, path);
  request.AddInt32(kAdminFlagsField, static_cast<int32_t>(flags));
  return Ask(request).result;
}

int32_t RemoveShare(const std::string& path) { return Ask(WithText(kAdminRemoveShare, path)).result; }

// The folder's absolute path as the server should record it: the real path
// of its parent folder plus its own name, so a final symbolic link is not
// followed. -1 when the entry cannot be used, -4007 when it is no folder,
// -4008 for the root folder of a file system.
int32_t ResolveShareFolder(const afp_entry_ref& folder, std::string* resolved) {
  const size_t length = strnlen(folder.path, sizeof folder.path);
  if (length == 0 || length == sizeof folder.path) return kUnusableEntry;
  const std::optional<std::string> absolute = AbsoluteSharePath(std::string(folder.path, length));
  const std::optional<std::string> recorded = absolute ? RecordedSharePath(*absolute) : std::nullopt;
  if (!recorded) return kUnusableEntry;
  std::string path = *recorded;

  struct stat entry;
  if (lstat(path.c_str(), &entry) != 0) return kUnusableEntry;
  if (!S_ISDIR(entry.st_mode)) return AFP_RESULT_NOT_A_FOLDER;
  if (path == "/") return AFP_RESULT_VOLUME_ROOT;
  const size_t parentEnd = path.rfind('/');
  const std::string realParent = parentEnd == 0 ? "/" : path.substr(0, parentEnd);
  struct stat parentInfo;
  if (stat(realParent.c_str(), &parentInfo) != 0) return kUnusableEntry;
  // A mount point: the folder lives on another file system than its parent.
  if (parentInfo.st_dev != entry.st_dev) return AFP_RESULT_VOLUME_ROOT;
  if (path.size() >= sizeof(afp_path::path)) return kUnusableEntry;
  *resolved = std::move(path);
  return 0;
}

int32_t AddShare(const afp_entry_ref& folder, std::optional<uint32_t> flags, afp_path* pathOut) {
  std::string path;
  const int32_t checked = ResolveShareFolder(folder, &path);
  if (checked != 0) return checked;
  BMessage request = WithText(kAdminAddShare, path);
  if (flags) request.AddInt32(kAdminFlagsField, static_cast<int32_t>(*flags));
  const int32_t result = Ask(request).result;
  if (result == 0 && pathOut != nullptr) CopyOut(path, pathOut->path);
  return result;
}

// What an account reply ('geti', 'getu') carries.
struct AccountReply {
  std::optional<std::string> name;
  std::optional<std::string> password;
  std::optional<uint32_t> flags;
  std::optional<bool> enabled;
};

AccountReply ReadAccount(const BMessage& reply) {
  AccountReply account;
  std::string text;
  if (reply.FindString(kAdminUserField, &text) == B_OK) account.name = text;
  if (reply.FindString(kAdminPasswordField, &text) == B_OK) account.password = text;
  int32_t flags = 0;
  if (reply.FindInt32(kAdminFlagsField, &flags) == B_OK) account.flags = static_cast<uint32_t>(flags);
  bool enabled = false;
  if (reply.FindBool(kAdminBoolField, &enabled) == B_OK) {
    account.enabled = enabled;
  } else if (account.flags) {
    account.enabled = (*account.flags & AFP_ACCOUNT_ENABLED) != 0;
  }
  return account;
}

// Sets each wanted output whose field the reply carried.
bool CopyAccount(const AccountReply& account, afp_string* name, afp_string* password,
                 bool* enabled) {
  if (name != nullptr && account.name && !CopyOut(*account.name, name->text)) return false;
  if (password != nullptr && account.password && !CopyOut(*account.password, password->text))
    return false;
  if (enabled != nullptr && account.enabled) *enabled = *account.enabled;
  return true;
}

int32_t AskAccount(const BMessage& request, AccountReply* account) {
  const Answer answer = Ask(request);
  if (answer.result == 0) *account = ReadAccount(answer.reply);
  return answer.result;
}

BMessage UserRequest(uint32_t code, const char* name) {
  BMessage request(code);
  request.AddString(kAdminUserField, TextOf(name));
  return request;
}

BMessage AccountRequest(uint32_t code, const char* name, const char* password) {
  BMessage request = UserRequest(code, name);
  request.AddString(kAdminPasswordField, TextOf(password));
  return request;
}

int32_t AskCounter(uint32_t code, int64_t* value) {
  const Answer answer = Ask(BMessage(code));
  if (answer.result != 0) return answer.result;
  return answer.reply.FindInt64(kAdminCounterField, value) == B_OK ? 0 : AFP_RESULT_FAIL;
}

int32_t AskValue(uint32_t code, int32_t* value) {
  const Answer answer = Ask(BMessage(code));
  if (answer.result != 0) return answer.result;
  return answer.reply.FindInt32(kAdminFlagsField, value) == B_OK ? 0 : AFP_RESULT_FAIL;
}

}  // namespace

extern "C" {

int32_t AFPGetVolumePathFromIndex(int16_t index, afp_string* path) {
  return AskShareText(kAdminGetVolumePath, index, path);
}

int32_t AFPGetVolumeFlagsFromPath(const afp_string* path, uint32_t* flags) {
  if (flags == nullptr) return AFP_RESULT_NULL_POINTER;
  const Answer answer = Ask(WithText(kAdminGetShareFlags, TextOf(path)));
  int32_t value = 0;
  if (answer.result != 0 || answer.reply.FindInt32(kAdminFlagsField, &value) != B_OK)
    return AFP_RESULT_FAIL;
  *flags = static_cast<uint32_t>(value);
  return 0;
}

int32_t AFPGetVolumeFlagsFromIndex(int16_t index, uint32_t* flags) {
  if (flags == nullptr) return AFP_RESULT_NULL_POINTER;
  afp_string path;
  const int32_t found = AFPGetVolumePathFromIndex(index, &path);
  if (found != 0) return found;
  return AFPGetVolumeFlagsFromPath(&path, flags);
}

int32_t AFPSaveVolumeFlags(int16_t index, uint32_t flags) {
  afp_string path;
  const int32_t found = AFPGetVolumePathFromIndex(index, &path);
  if (found != 0) return found;
  return SetShareFlags(TextOf(&path), flags) == 0 ? 0 : AFP_RESULT_FAIL;
}

int32_t AFPSaveVolumeFlagsForPath(const afp_string* path, uint32_t flags) {
  return SetShareFlags(TextOf(path), flags);
}

int32_t AFPRemoveShare(const afp_string* path) { return RemoveShare(TextOf(path)); }

int32_t AFPRemoveShareAtIndex(int16_t index) {
  afp_string path;
  const int32_t found = AFPGetVolumePathFromIndex(index, &path);
  if (found != 0) return found;
  return RemoveShare(TextOf(&path));
}

int32_t AFPAddShare(afp_entry_ref folder, afp_path* path) {
  return AddShare(folder, std::nullopt, path);
}

int32_t AFPAddShareWithFlags(afp_entry_ref folder, uint32_t flags, afp_path* path) {
  return AddShare(folder, flags, path);
}

int32_t AFPGetVolumeNameFromIndex(int16_t index, afp_string* name) {
  if (name == nullptr) return AFP_RESULT_NULL_POINTER;
  return AskShareText(kAdminGetVolumeName, index, name);
}

int32_t AFPSaveLogonMessage(const char* text, int32_t length) {
  if (text == nullptr || length < 0) length = 0;
  std::string folder;
  const int folderFd = FindUserSettingsDirectory(&folder) == B_OK
                           ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
  if (folderFd >= 0) {
    // A fresh file each time: the old text may be longer, and the new file
    // gets the owner-only mode whatever the old one had.
    struct stat info;
    if (fstatat(folderFd, kLogonMessageFileName, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode))
      unlinkat(folderFd, kLogonMessageFileName, 0);
    const int fd = openat(folderFd, kLogonMessageFileName,
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fchmod(fd, 0600);
      size_t written = 0;
      while (written < static_cast<size_t>(length)) {
        const ssize_t n = write(fd, text + written, static_cast<size_t>(length) - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the server is told the text all the same
        written += static_cast<size_t>(n);
      }
      close(fd);
    }
    close(folderFd);
  }
  return Ask(WithText(kAdminUpdateLogonMessage, TextOf(text))).result;
}

int32_t AFPGetLogonMessage(char* buffer, int32_t size) {
  if (buffer == nullptr) return AFP_RESULT_NULL_POINTER;
  std::string folder;
  if (FindUserSettingsDirectory(&folder) != B_OK) return AFP_RESULT_FAIL;
  const std::string path = folder + "/" + kLogonMessageFileName;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return AFP_RESULT_FAIL;
  const size_t capacity = size > 0 ? static_cast<size_t>(size) : 0;
  std::memset(buffer, 0, capacity);
  size_t filled = 0;
  while (filled < capacity) {
    const ssize_t n = read(fd, buffer + filled, capacity - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  close(fd);
  return 0;
}

int32_t AFPSendServerMessage(const char* text) {
  return Ask(WithText(kAdminSendServerMessage, TextOf(text))).result;
}

bool AFPGetGuestsAllowed(void) {
  const Answer answer = Ask(BMessage(kAdminGetGuestsAllowed));
  bool allowed = false;
  if (answer.result != 0 || answer.reply.FindBool(kAdminBoolField, &allowed) != B_OK) return false;
  return allowed;
}

int32_t AFPSetGuestsAllowed(bool allowed) {
  BMessage request(kAdminSetGuestsAllowed);
  request.AddBool(kAdminBoolField, allowed);
  return Ask(request).result;
}

int32_t AFPGetIndUser(int16_t index, afp_string* name, afp_string* password, bool* enabled) {
  AccountReply account;
  const int32_t result = AskAccount(WithIndex(kAdminGetIndUser, index), &account);
  if (result != 0) return result;
  return CopyAccount(account, name, password, enabled) ? 0 : AFP_RESULT_FAIL;
}

int32_t AFPGetUserInfo(const char* name, afp_string* password, bool* enabled) {
  AccountReply account;
  const int32_t result = AskAccount(UserRequest(kAdminGetUser, name), &account);
  if (result != 0) return result;
  return CopyAccount(account, nullptr, password, enabled) ? 0 : AFP_RESULT_FAIL;
}

int32_t AFPGetIndUserFlags(int16_t index, afp_string* name, afp_string* password,
                           uint32_t* flags) {
  if (flags == nullptr) return AFP_RESULT_NULL_POINTER;
  AccountReply account;
  const int32_t result = AskAccount(WithIndex(kAdminGetIndUser, index), &account);
  if (result != 0) return result;
  if (!account.flags || !CopyAccount(account, name, password, nullptr)) return AFP_RESULT_FAIL;
  *flags = *account.flags;
  return 0;
}

int32_t AFPGetUserFlags(const char* name, afp_string* password, uint32_t* flags) {
  if (flags == nullptr) return AFP_RESULT_NULL_POINTER;
  AccountReply account;
  const int32_t result = AskAccount(UserRequest(kAdminGetUser, name), &account);
  if (result != 0) return result;
  if (!account.flags || !CopyAccount(account, nullptr, password, nullptr)) return AFP_RESULT_FAIL;
  *flags = *account.flags;
  return 0;
}

int32_t AFPAddUser(const char* name, const char* password, bool enabled) {
  BMessage request = AccountRequest(kAdminAddUser, name, password);
  request.AddBool(kAdminBoolField, enabled);
  return Ask(request).result;
}

int32_t AFPUpdateUserProperties(const char* name, const char* password, bool enabled) {
  BMessage request = AccountRequest(kAdminUpdateUser, name, password);
  request.AddBool(kAdminBoolField, enabled);
  return Ask(request).result;
}

int32_t AFPAddUserWithFlags(const char* name, const char* password, uint32_t flags) {
  BMessage request = AccountRequest(kAdminAddUser, name, password);
  request.AddInt32(kAdminFlagsField, static_cast<int32_t>(flags));
  return Ask(request).result;
}

int32_t AFPUpdateUserWithFlags(const char* name, const char* password, uint32_t flags) {
  BMessage request = AccountRequest(kAdminUpdateUser, name, password);
  request.AddInt32(kAdminFlagsField, static_cast<int32_t>(flags));
  return Ask(request).result;
}

int32_t AFPDeleteUser(const char* name) { return Ask(UserRequest(kAdminDeleteUser, name)).result; }

int32_t AFPGetServerStatistics(afp_server_stats* stats) {
  if (stats == nullptr) return AFP_RESULT_NULL_POINTER;
  afp_server_stats read{};
  int32_t bytesPerSecond = 0;
  int32_t dsiPackets = 0;
  int32_t result = AskCounter(kAdminBytesSent, &read.bytes_sent);
  if (result == 0) result = AskCounter(kAdminBytesReceived, &read.bytes_received);
  if (result == 0) result = AskValue(kAdminBytesPerSecond, &bytesPerSecond);
  if (result == 0) result = AskValue(kAdminPacketsProcessed, &dsiPackets);
  if (result == 0) result = AskValue(kAdminOpenSessions, &read.open_sessions);
  if (result != 0) return result;
  read.bytes_per_second = static_cast<uint32_t>(bytesPerSecond);
  read.dsi_packets = static_cast<uint32_t>(dsiPackets);
  *stats = read;
  return 0;
}

}  // extern "C"
