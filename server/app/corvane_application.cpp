#include "server/app/corvane_application.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/find_directory.h"
#include "server/admin/admin_messages.h"
#include "server/admin/admin_protocol.h"
#include "server/admin/server_messages.h"
#include "server/auth/account_store.h"
#include "server/dsi/listener.h"
#include "server/dsi/session_manager.h"
#include "server/volume/volume_registry.h"

int32_t afpAppReturnValue = 0;

namespace {

constexpr int32_t kLogonFileReadSize = 256;
// How long the quit path waits for each client's shutdown notice to leave.
constexpr int64_t kQuitFlushMicroseconds = 2000000;

}  // namespace

corvaneApplication::corvaneApplication() : BApplication(kServerSignature) {
  if (InitCheck() == B_OK) afpInitializeServerNetworking();
}

corvaneApplication::~corvaneApplication() {
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  delete gAFPVolumeList;
  gAFPVolumeList = nullptr;
}

void afpLoadLogonMessage() {
  std::string folder;
  if (FindUserSettingsDirectory(&folder) != B_OK) return;
  const std::string path = folder + "/" + kLogonMessageFileName;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  // One byte more than is read, so a file without a zero byte still ends
  // in a terminator.
  char text[kLogonFileReadSize + 1] = {};
  size_t filled = 0;
  while (filled < static_cast<size_t>(kLogonFileReadSize)) {
    const ssize_t got = read(fd, text + filled, kLogonFileReadSize - filled);
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  close(fd);
  if (text[0] != '\0') afp_SetLogonMessage(text);
}

void corvaneApplication::ReadyToRun() {
  afpLoadLogonMessage();
  // Guest access stays off until an administrator enables the account.
  if (afpGetUserDataByName(kGuestAccountName, nullptr) != 0)
    afpSaveNewUser(kGuestAccountName, "", kAccountGuestDefault);
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    gAFPVolumeList = new std::vector<VolumeRef>();
  }
  ShareAllVolumes();
}

void corvaneApplication::MessageReceived(BMessage* message) {
  switch (message->what) {
    case B_QUIT_REQUESTED:
      if (BAFPSessMgr* manager = gAFPSessionMgr.load()) {
        manager->SendGlobalAttention(kAttentionServerShutdown);
        manager->FlushConnections(kQuitFlushMicroseconds);
      }
      return;
    default:
      if (!afpHandleAdminMessage(message)) BApplication::MessageReceived(message);
  }
}
