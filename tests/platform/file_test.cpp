// A file's data through BFile, on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/directory.h"
#include "tests/platform/storage_test_support.h"

namespace {

using storagetest::Read;
using storagetest::StorageTest;

class BFileTest : public StorageTest {
 protected:
  std::string ReadAt(BFile& file, off_t position, size_t size) {
    std::string data(size, '\0');
    const ssize_t got = file.ReadAt(position, data.data(), size);
    EXPECT_GE(got, 0);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return data;
  }
  off_t Size(const BFile& file) {
    off_t size = -1;
    EXPECT_EQ(file.GetSize(&size), B_OK);
    return size;
  }
};

TEST_F(BFileTest, ReadsWritesAndResizes) {
  File("data");
  BFile file;
  ASSERT_EQ(file.SetTo(BEntry(P("data")), BFile::kReadWrite), B_OK);
  EXPECT_EQ(file.WriteAt(0, "hello world", 11), 11);
  EXPECT_EQ(file.WriteAt(6, "there", 5), 5);
  EXPECT_EQ(ReadAt(file, 0, 64), "hello there");
  EXPECT_EQ(ReadAt(file, 8, 64), "ere");
  EXPECT_EQ(ReadAt(file, 11, 64), "");
  EXPECT_EQ(ReadAt(file, 500, 64), "");
  EXPECT_EQ(Size(file), 11);

  ASSERT_EQ(file.SetSize(5), B_OK);
  EXPECT_EQ(ReadAt(file, 0, 64), "hello");
  ASSERT_EQ(file.SetSize(8), B_OK);
  EXPECT_EQ(ReadAt(file, 0, 64), std::string("hello\0\0\0", 8));
  EXPECT_EQ(file.WriteAt(100, "x", 1), 1);
  EXPECT_EQ(Size(file), 101);
  EXPECT_EQ(file.Sync(), B_OK);

  const std::string big(3 << 20, 'q');
  EXPECT_EQ(file.WriteAt(0, big.data(), big.size()), static_cast<ssize_t>(big.size()));
  EXPECT_EQ(Read(P("data")), big);

  EXPECT_EQ(file.ReadAt(-1, nullptr, 0), B_BAD_VALUE);
  EXPECT_EQ(file.WriteAt(-1, "x", 1), B_BAD_VALUE);
  EXPECT_EQ(file.SetSize(-1), B_BAD_VALUE);
}

TEST_F(BFileTest, ModesDecideWhatWorks) {
  File("data", "abc");
  BFile reader;
  ASSERT_EQ(reader.SetTo(BEntry(P("data")), BFile::kReadOnly), B_OK);
  EXPECT_LT(reader.WriteAt(0, "x", 1), 0);
  EXPECT_NE(reader.SetSize(0), B_OK);
  BFile writer;
  ASSERT_EQ(writer.SetTo(BEntry(P("data")), BFile::kWriteOnly), B_OK);
  char byte;
  EXPECT_LT(writer.ReadAt(0, &byte, 1), 0);
  EXPECT_EQ(writer.WriteAt(3, "d", 1), 1);
  EXPECT_EQ(Read(P("data")), "abcd");
  // Reopening drops the first descriptor; an unset file refuses everything.
  ASSERT_EQ(writer.SetTo(BEntry(P("data")), BFile::kReadOnly), B_OK);
  EXPECT_EQ(ReadAt(writer, 0, 8), "abcd");
  BFile unset;
  EXPECT_EQ(unset.InitCheck(), B_NO_INIT);
  EXPECT_EQ(unset.ReadAt(0, &byte, 1), B_NO_INIT);
}

// Only plain files open: not a missing one, a folder, a link (not even to a
// file) or a FIFO (which would block the open).
TEST_F(BFileTest, RefusesWhatIsNoPlainFile) {
  File("target", "secret");
  Link(P("target"), "link");
  Dir("folder");
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
  BFile file;
  EXPECT_EQ(file.SetTo(BEntry(P("missing")), BFile::kReadOnly), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(file.SetTo(BEntry(P("folder")), BFile::kReadOnly), B_IS_A_DIRECTORY);
  EXPECT_EQ(file.SetTo(BEntry(P("folder")), BFile::kReadWrite), B_IS_A_DIRECTORY);
  EXPECT_EQ(file.SetTo(BEntry(P("link")), BFile::kReadOnly), B_BAD_VALUE);
  EXPECT_EQ(file.SetTo(BEntry(P("fifo")), BFile::kReadOnly), B_BAD_VALUE);
  EXPECT_EQ(file.InitCheck(), B_BAD_VALUE);
}

TEST_F(BFileTest, WritingNeedsPermission) {
  File("readonly", "keep");
  ASSERT_EQ(chmod(P("readonly").c_str(), 0444), 0);
  const int result = AsNobody([this] {
    BFile file;
    return file.SetTo(BEntry(P("readonly")), BFile::kWriteOnly) == B_PERMISSION_DENIED ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

}  // namespace
