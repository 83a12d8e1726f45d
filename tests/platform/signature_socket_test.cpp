// The application signature socket: single launch per settings folder, an
// owner-only socket, and messages (with or without replies) crossing it.
#include "platform/signature_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/find_directory.h"
#include "platform/messenger.h"
#include "tests/client/temp_dir.h"

namespace {

constexpr const char* kSignature = "application/x-vnd.corvane-test";
constexpr uint32_t kRequest = FourCC("rqst");
constexpr uint32_t kAnswer = FourCC("answ");

// A socket connected to `path`, or -1.
int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Leaves a socket file nobody listens on, as a crashed server would.
void LeaveStaleSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
}

// Each test gets its own settings folder (not yet created: Start makes it).
class SignatureSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("CORVANE_SETTINGS_DIR")) fSavedSettings = old;
    fSettings = (fTemp.path() / "settings").string();
    setenv("CORVANE_SETTINGS_DIR", fSettings.c_str(), 1);
  }
  void TearDown() override {
    if (fSavedSettings)
      setenv("CORVANE_SETTINGS_DIR", fSavedSettings->c_str(), 1);
    else
      unsetenv("CORVANE_SETTINGS_DIR");
  }

  std::string SocketPath() const { return fSettings + "/application_x-vnd.corvane-test.sock"; }

  // True when a message sent without waiting reaches `port`.
  static bool Reaches(MessagePort& port) {
    BMessage ping(FourCC("ping"));
    if (SendToSignature(kSignature, ping, nullptr) != B_OK) return false;
    std::optional<BMessage> got = port.Pop();
    return got && got->what == FourCC("ping");
  }

  afptest::TempDir fTemp;
  std::optional<std::string> fSavedSettings;
  std::string fSettings;
  std::shared_ptr<MessagePort> fPort = std::make_shared<MessagePort>(16);
};

TEST_F(SignatureSocketTest, StartTakesTheSignatureWithAnOwnerOnlySocket) {
  EXPECT_EQ(SignatureSocketPath(kSignature), SocketPath());
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  ASSERT_NE(server, nullptr);

  struct stat info;
  ASSERT_EQ(lstat(SocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_TRUE(Reaches(*fPort));
}

TEST_F(SignatureSocketTest, SecondStartInTheSameFolderIsAlreadyRunning) {
  std::unique_ptr<SignatureServer> first;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &first), B_OK);
  auto otherPort = std::make_shared<MessagePort>(16);
  std::unique_ptr<SignatureServer> second;
  EXPECT_EQ(SignatureServer::Start(kSignature, otherPort, &second), B_ALREADY_RUNNING);
  EXPECT_EQ(second, nullptr);
  // The refused start left the running server's socket alone.
  EXPECT_TRUE(Reaches(*fPort));

  // Another signature, or the same one in another settings folder, is free.
  std::unique_ptr<SignatureServer> otherSignature;
  EXPECT_EQ(SignatureServer::Start("application/x-vnd.corvane-other", otherPort, &otherSignature), B_OK);
  const std::string otherFolder = (fTemp.path() / "other").string();
  setenv("CORVANE_SETTINGS_DIR", otherFolder.c_str(), 1);
  std::unique_ptr<SignatureServer> otherFolderServer;
  EXPECT_EQ(SignatureServer::Start(kSignature, otherPort, &otherFolderServer), B_OK);
}

// A restart in the same process (or right after the previous process exited)
// must find the signature free as soon as the old server is gone.
TEST_F(SignatureSocketTest, StartsAgainOnceTheServerIsDestroyed) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::unique_ptr<SignatureServer> server;
    ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
    server.reset();
  }
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  EXPECT_TRUE(Reaches(*fPort));
}

// The same, deterministically: a client of the old server is still connected
// (an admin tool, say) when the server is destroyed.
TEST_F(SignatureSocketTest, StartsAgainWhileAClientOfTheOldServerIsConnected) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  const int fd = Connect(SocketPath());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> flat;
  ASSERT_EQ(BMessage(FourCC("conn")).Flatten(&flat), B_OK);
  const uint32_t length = static_cast<uint32_t>(flat.size() + 1);
  std::vector<uint8_t> frame = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0};
  frame.insert(frame.end(), flat.begin(), flat.end());
  ASSERT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  ASSERT_TRUE(fPort->Pop().has_value());  // the server is now serving this client

  server.reset();
  std::unique_ptr<SignatureServer> restarted;
  EXPECT_EQ(SignatureServer::Start(kSignature, fPort, &restarted), B_OK);
  close(fd);
}

TEST_F(SignatureSocketTest, StaleSocketFileIsReplaced) {
  ASSERT_EQ(EnsureDirectory(fSettings), B_OK);
  ASSERT_NO_FATAL_FAILURE(LeaveStaleSocket(SocketPath()));
  EXPECT_NE(SendToSignature(kSignature, BMessage(kRequest), nullptr), B_OK);

  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  EXPECT_TRUE(Reaches(*fPort));
}

TEST_F(SignatureSocketTest, RequestReachesThePortAndTheReplyComesBack) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);

  std::string seenVolume;
  bool seenWaiting = false;
  std::thread responder([&] {
    std::optional<BMessage> request = fPort->Pop();
    if (!request) return;
    seenWaiting = request->IsSourceWaiting();
    request->FindString("volume", &seenVolume);
    BMessage answer(kAnswer);
    answer.AddString("volume", seenVolume + " (answered)");
    answer.AddInt64("free", int64_t{5} << 33);
    answer.AddBool("ok", true);
    request->SendReply(answer);
  });

  BMessage request(kRequest);
  request.AddString("volume", "Projects");
  BMessage reply;
  // Through a messenger by signature, the path the admin tool takes.
  const status_t status = BMessenger(kSignature).SendMessage(request, &reply);
  responder.join();

  ASSERT_EQ(status, B_OK);
  EXPECT_TRUE(seenWaiting);
  EXPECT_EQ(seenVolume, "Projects");
  EXPECT_EQ(reply.what, kAnswer);
  std::string volume;
  int64_t free = 0;
  bool ok = false;
  EXPECT_EQ(reply.FindString("volume", &volume), B_OK);
  EXPECT_EQ(volume, "Projects (answered)");
  EXPECT_EQ(reply.FindInt64("free", &free), B_OK);
  EXPECT_EQ(free, int64_t{5} << 33);
  EXPECT_EQ(reply.FindBool("ok", &ok), B_OK);
  EXPECT_TRUE(ok);
}

TEST_F(SignatureSocketTest, MessageWithoutReplyArrives) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  BMessage message(kRequest);
  message.AddInt32("session", 12);
  ASSERT_EQ(BMessenger(kSignature).SendMessage(message), B_OK);

  std::optional<BMessage> got = fPort->Pop();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->what, kRequest);
  EXPECT_FALSE(got->IsSourceWaiting());
  int32_t session = 0;
  EXPECT_EQ(got->FindInt32("session", &session), B_OK);
  EXPECT_EQ(session, 12);
}

TEST_F(SignatureSocketTest, UnansweredRequestRepliesNoReply) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);

  // The application drops the request without answering.
  std::thread dropper([&] { fPort->Pop(); });
  BMessage reply;
  EXPECT_EQ(SendToSignature(kSignature, BMessage(kRequest), &reply), B_OK);
  dropper.join();
  EXPECT_EQ(reply.what, B_NO_REPLY);

  // The application has stopped reading its port.
  fPort->Close();
  reply = BMessage();
  EXPECT_EQ(SendToSignature(kSignature, BMessage(kRequest), &reply), B_OK);
  EXPECT_EQ(reply.what, B_NO_REPLY);
}

TEST_F(SignatureSocketTest, SendingToASignatureNobodyHoldsFails) {
  BMessage reply(FourCC("same"));
  EXPECT_NE(SendToSignature(kSignature, BMessage(kRequest), nullptr), B_OK);
  EXPECT_NE(SendToSignature(kSignature, BMessage(kRequest), &reply), B_OK);
  EXPECT_NE(BMessenger(kSignature).SendMessage(BMessage(kRequest), &reply), B_OK);
  EXPECT_EQ(reply.what, FourCC("same"));

  // Nor once its server has gone.
  {
    std::unique_ptr<SignatureServer> server;
    ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  }
  EXPECT_NE(SendToSignature(kSignature, BMessage(kRequest), nullptr), B_OK);
}

TEST_F(SignatureSocketTest, PointerFieldsAreNotSent) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  int marker = 0;
  BMessage message(kRequest);
  message.AddPointer("where", &marker);
  EXPECT_NE(SendToSignature(kSignature, message, nullptr), B_OK);
}

// A client speaking nonsense loses its connection; the server keeps serving.
TEST_F(SignatureSocketTest, MalformedFramesCloseOnlyThatConnection) {
  std::unique_ptr<SignatureServer> server;
  ASSERT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_OK);
  struct Frame {
    const char* what;
    std::vector<uint8_t> bytes;
    bool closeWriting;  // end the stream after the bytes
  };
  const Frame frames[] = {
      {"empty frame", {0, 0, 0, 0}, false},
      {"flags byte only", {0, 0, 0, 1, 1}, false},
      {"not a message", {0, 0, 0, 5, 1, 'j', 'u', 'n', 'k'}, false},
      {"length over the limit", {0x7F, 0xFF, 0xFF, 0xFF, 1}, false},
      {"frame cut short", {0, 0, 0, 40, 1, 'C', 'V', 'M', '1'}, true},
  };
  for (const Frame& frame : frames) {
    SCOPED_TRACE(frame.what);
    const int fd = Connect(SocketPath());
    ASSERT_GE(fd, 0);
    const timeval generous{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &generous, sizeof(generous));
    ASSERT_EQ(send(fd, frame.bytes.data(), frame.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.bytes.size()));
    if (frame.closeWriting) shutdown(fd, SHUT_WR);
    char byte;
    const ssize_t got = recv(fd, &byte, 1, 0);
    // Closing with unread bytes resets rather than ends the stream.
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET))
        << "the server should close the connection; recv gave " << got << ", " << std::strerror(errno);
    close(fd);
  }
  EXPECT_TRUE(Reaches(*fPort));
}

TEST_F(SignatureSocketTest, SettingsPathTooLongForASocketIsRefused) {
  const std::string deep = fSettings + "/" + std::string(120, 'd');
  setenv("CORVANE_SETTINGS_DIR", deep.c_str(), 1);
  std::unique_ptr<SignatureServer> server;
  EXPECT_EQ(SignatureServer::Start(kSignature, fPort, &server), B_BAD_VALUE);
  EXPECT_EQ(server, nullptr);
  EXPECT_NE(SendToSignature(kSignature, BMessage(kRequest), nullptr), B_OK);
}

}  // namespace
