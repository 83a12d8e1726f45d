#include "server/afp/server_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/volume/volume_registry.h"

namespace {

std::vector<uint8_t> ServerInfo(const char* name, bool guest) {
  signed char memory[4096];
  BAFPBuffer out(memory, sizeof(memory));
  EXPECT_EQ(afpWriteServerInfo(out, name, guest), kFPNoErr);
  const auto* begin = reinterpret_cast<const uint8_t*>(memory);
  return std::vector<uint8_t>(begin, begin + out.GetDataLength());
}

uint16_t At16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>((bytes.at(offset) << 8) | bytes.at(offset + 1));
}

std::string PascalAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return std::string(bytes.begin() + offset + 1, bytes.begin() + offset + 1 + bytes.at(offset));
}

// After the (padded) name at N come four offsets: server signature, network
// addresses, directory names and UTF-8 server name (the last two always 0).
TEST(ServerInfoLayout, EvenNameWithGuestIs142Bytes) {
  const auto info = ServerInfo("BeComputer", true);
  ASSERT_EQ(info.size(), 142u);
  EXPECT_EQ(info[10], 10);                 // name length
  EXPECT_EQ(PascalAt(info, 10), "BeComputer");
  EXPECT_EQ(info[21], 0);                  // pad: N = 22
  EXPECT_EQ(At16(info, 22), 140);          // signature offset
  EXPECT_EQ(At16(info, 24), 141);          // network address offset
  EXPECT_EQ(At16(info, 26), 0);            // no directory names
  EXPECT_EQ(At16(info, 28), 0);            // no UTF-8 server name
  EXPECT_EQ(At16(info, 0), 0x001E);
  EXPECT_EQ(PascalAt(info, 30), "BeOS");
  EXPECT_EQ(At16(info, 2), 0x0023);
  EXPECT_EQ(info[35], 4);
  EXPECT_EQ(PascalAt(info, 36), "AFP2.2");
  EXPECT_EQ(PascalAt(info, 57), "AFP3.2");
  EXPECT_EQ(At16(info, 4), 0x0040);
  EXPECT_EQ(info[64], 4);
  EXPECT_EQ(PascalAt(info, 65), "No User Authent");
  EXPECT_EQ(PascalAt(info, 81), "Cleartxt passwrd");
  EXPECT_EQ(PascalAt(info, 98), "BeOS_Encryption_v1.0");
  EXPECT_EQ(PascalAt(info, 119), "BeOS_Encryption_v2.0");
  EXPECT_EQ(info[140], 0);
  EXPECT_EQ(info[141], 0);
  EXPECT_EQ(At16(info, 6), 0);             // no icon
  EXPECT_EQ(At16(info, 8), 0x006B);        // server flags
}

TEST(ServerInfoLayout, WithoutGuestIs126Bytes) {
  const auto info = ServerInfo("BeComputer", false);
  ASSERT_EQ(info.size(), 126u);
  EXPECT_EQ(info[64], 3);
  EXPECT_EQ(PascalAt(info, 65), "Cleartxt passwrd");
  EXPECT_EQ(At16(info, 22), 124);
  EXPECT_EQ(At16(info, 24), 125);
}

TEST(ServerInfoLayout, OddNameGetsNoPad) {
  const auto info = ServerInfo("Mac", false);  // 11 + 3 = 14, already even
  EXPECT_EQ(At16(info, 0), 14 + 8);
  EXPECT_EQ(At16(info, 14), info.size() - 2);
  const auto even = ServerInfo("Macs", false);  // 11 + 4 = 15, padded to 16
  EXPECT_EQ(even[15], 0);
  EXPECT_EQ(At16(even, 0), 16 + 8);
  EXPECT_EQ(even.size(), info.size() + 2);
}

TEST(ServerParms, ListsSharedVolumesInOrder) {
  BAFPSession session(nullptr);
  signed char reply[4096];
  int32_t length = 0;
  signed char request[] = {16, 0};
  std::vector<VolumeRef>* saved;
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    saved = gAFPVolumeList;
    gAFPVolumeList = nullptr;
  }
  ASSERT_EQ(FPGetSrvrParms(&session, request, 2, reply, &length), kFPNoErr);
  EXPECT_EQ(length, 5);  // time and a count of 0
  EXPECT_EQ(reply[4], 0);

  std::vector<VolumeRef> volumes = {std::make_shared<BAFPVolume>("/srv/Music", 0),
                                    std::make_shared<BAFPVolume>("/home/ann/Photos/", 2)};
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    gAFPVolumeList = &volumes;
  }
  ASSERT_EQ(FPGetSrvrParms(&session, request, 2, reply, &length), kFPNoErr);
  const auto* bytes = reinterpret_cast<const uint8_t*>(reply);
  EXPECT_EQ(std::vector<uint8_t>(bytes + 4, bytes + length),
            (std::vector<uint8_t>{2, 0, 5, 'M', 'u', 's', 'i', 'c', 0, 6, 'P', 'h', 'o', 't', 'o', 's'}));
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  gAFPVolumeList = saved;
}

}  // namespace
