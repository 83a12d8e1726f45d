#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"

namespace {

using namespace afptest;

// The quit message through the administration socket takes the same path
// as SIGTERM: every client is told the server is going down, then it exits.
TEST(AdminQuit, QuitMessageStopsTheServerCleanly) {
  ServerProcess server;
  ASSERT_TRUE(server.WaitUntilListening()) << server.StandardError();
  setenv("CORVANE_SETTINGS_DIR", server.settingsDir().c_str(), 1);
  DsiClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.OpenSession());
  AdminRequest(BMessage(B_QUIT_REQUESTED));  // the answer may not arrive before the exit
  const auto attention = client.ReadFrame();
  ASSERT_TRUE(attention);
  EXPECT_EQ(attention->command, 8);
  EXPECT_EQ(attention->payload, (ByteVector{0x80, 0x00}));
  EXPECT_EQ(server.WaitForExit(), 0);
}

}  // namespace
