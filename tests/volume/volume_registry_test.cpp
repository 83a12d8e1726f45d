#include "server/volume/volume_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/client/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A settings folder of its own and an empty volume list for each test.
class VolumeRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CORVANE_SETTINGS_DIR", (folder_.path() / "settings").c_str(), 1);
    fs::create_directories(folder_.path() / "settings");
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    saved_ = gAFPVolumeList;
    gAFPVolumeList = &volumes_;
  }
  void TearDown() override {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    gAFPVolumeList = saved_;
  }

  VolumeStorageData Record(const std::string& relative, uint32_t flags = 0) {
    const fs::path path = folder_.path() / relative;
    fs::create_directories(path);
    VolumeStorageData record;
    EXPECT_TRUE(afpMakeVolumeRecord(path.c_str(), flags, &record));
    return record;
  }

  afptest::TempDir folder_;
  std::vector<VolumeRef> volumes_;
  std::vector<VolumeRef>* saved_ = nullptr;
};

TEST_F(VolumeRegistry, VolumeNamesAreUniqueAndCaseSensitive) {
  const VolumeStorageData first = Record("a/Docs");
  const VolumeStorageData second = Record("b/Docs");
  EXPECT_EQ(StartSharingVolume(&first), 0);
  EXPECT_EQ(StartSharingVolume(&second), -1);
  ASSERT_EQ(volumes_.size(), 1u);
  EXPECT_EQ(FindVolume("docs"), nullptr);
  const VolumeRef docs = FindVolume("Docs");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(FindVolume(docs->GetVolumeID()), docs);
  EXPECT_EQ(FindVolume(docs->GetNodeRef()), docs);
  EXPECT_EQ(FindVolume(node_ref{-1, -1}), nullptr);
  EXPECT_NE(docs->GetRootDirID(), 0u);
  EXPECT_NE(docs->GetParentOfRootID(), 0u);
}

TEST_F(VolumeRegistry, RecordsPersistAndFlagsReachTheLiveVolume) {
  VolumeStorageData record = Record("Music", 0x100);
  SaveVolumeData(&record);
  ASSERT_EQ(StartSharingVolume(&record), 0);
  record.flags = 0x102;
  SaveVolumeData(&record);
  EXPECT_EQ(FindVolume("Music")->GetVolumeFlags(), 2);
  VolumeStorageData read;
  ASSERT_EQ(GetVolumeData(record.path, &read), 0);
  EXPECT_EQ(read.flags, 0x102u);  // all 32 bits kept in the record
  EXPECT_EQ(GetVolumeData("/no/such/share", &read), -1);
  EXPECT_EQ(StopSharingVolume(record.path), 0);
  EXPECT_EQ(StopSharingVolume(record.path), -1);
  EXPECT_EQ(RemoveVolumeData(record.path), 0);
  EXPECT_EQ(GetVolumeData(record.path, &read), -1);
}

TEST_F(VolumeRegistry, NoSettingsFileMeansNoShares) {
  EXPECT_EQ(ShareAllVolumes(), 0);
  EXPECT_TRUE(volumes_.empty());
  VolumeStorageData read;
  EXPECT_EQ(GetVolumeData("/x", &read), -1);
  EXPECT_EQ(RemoveVolumeData("/x"), -1);
}

TEST_F(VolumeRegistry, AThousandSharesAreSharedAgain) {
  for (int i = 0; i < 1000; ++i) {
    VolumeStorageData record;
    const std::string path = (folder_.path() / ("share" + std::to_string(i))).string();
    ASSERT_TRUE(afpMakeVolumeRecord(path.c_str(), static_cast<uint32_t>(i), &record));
    SaveVolumeData(&record);
  }
  ASSERT_EQ(ShareAllVolumes(), 0);
  ASSERT_EQ(volumes_.size(), 1000u);
  const VolumeRef last = FindVolume("share999");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->GetVolumeFlags(), static_cast<int8_t>(999 & 0xFF));
  VolumeStorageData read;
  ASSERT_EQ(GetVolumeData(last->GetPath().c_str(), &read), 0);
  EXPECT_EQ(read.flags, 999u);
}

TEST_F(VolumeRegistry, OverlongPathsDoNotFitARecord) {
  VolumeStorageData record;
  EXPECT_FALSE(afpMakeVolumeRecord(std::string(258, 'p').c_str(), 0, &record));
  EXPECT_TRUE(afpMakeVolumeRecord(("/" + std::string(256, 'p')).c_str(), 0, &record));
}

}  // namespace
