// Entries and folders on real files (/tmp is ext4 here): names between Mac
// Roman and the disk's UTF-8, confined lookups, creation, renames, listing,
// and the facts and changes of entries.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "tests/platform/storage_test_support.h"

namespace {

using storagetest::Lstat;
using storagetest::Read;
using storagetest::StorageTest;

std::vector<std::string> Listing(BDirectory& folder) {
  std::vector<std::string> paths;
  BEntry entry;
  while (folder.GetNextEntry(&entry) == B_OK) paths.push_back(entry.DiskPath());
  return paths;
}

// --- Names ---

struct NameCase {
  const char* what;
  std::string macRoman;
  std::string disk;
  bool roundTrip;  // false: only disk -> Mac Roman holds
};

class DiskNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(DiskNameTest, ConvertsAtTheBoundary) {
  const NameCase& c = GetParam();
  EXPECT_EQ(MacRomanNameFromDisk(c.disk), c.macRoman);
  if (c.roundTrip) {
    EXPECT_EQ(DiskNameFromMacRoman(c.macRoman), c.disk);
  }
}

INSTANTIATE_TEST_SUITE_P(
    DiskName, DiskNameTest,
    testing::Values(NameCase{"Ascii", "Read Me.txt", "Read Me.txt", true},
                    NameCase{"Accented", "caf\x8E", "caf\xC3\xA9", true},
                    NameCase{"SlashStandInIsColon", "1\x80" "2", "1:2", true},
                    NameCase{"StandInBesideLetters", "\x80\x8E\xFF", ":\xC3\xA9\xCB\x87", true},
                    NameCase{"DiskADiaeresisReadsAsStandIn", "\x80", "\xC3\x84", false},
                    NameCase{"DecomposedComposes", "caf\x8E", "cafe\xCC\x81", false},
                    NameCase{"InvalidUTF8IsRaw", "bad\xFF", "bad\xFF", false},
                    NameCase{"NoMacRomanFormIsRaw", "\xE4\xB8\xAD.txt", "\xE4\xB8\xAD.txt", false}),
    [](const testing::TestParamInfo<NameCase>& info) { return info.param.what; });

class DiskNameLookupTest : public StorageTest {};

// Whatever name a listing presents leads back to the same entry, through
// Child and through every element of a confined path.
TEST_F(DiskNameLookupTest, EveryListedNameLeadsBackToItsEntry) {
  const std::string folder = "\xE4\xB8\xAD";  // no Mac Roman form: listed raw
  Dir("share");
  Dir("share/" + folder);
  const std::vector<std::string> names = {"caf\xC3\xA9", "1:2", "\xC3\x84x", "nfde\xCC\x81", "bad\xFF",
                                          "\xE4\xB8\xAD.txt", "plain"};
  for (const std::string& name : names) File("share/" + folder + "/" + name);

  const BEntry root(P("share"));
  BDirectory top(root);
  BEntry folderEntry;
  ASSERT_EQ(top.GetNextEntry(&folderEntry), B_OK);
  ASSERT_EQ(folderEntry.Name(), folder);

  BDirectory listing(folderEntry);
  EXPECT_EQ(listing.CountEntries(), static_cast<int32_t>(names.size()));
  BEntry entry;
  while (listing.GetNextEntry(&entry) == B_OK) {
    const std::string name = entry.Name();
    SCOPED_TRACE(entry.DiskPath());
    EXPECT_EQ(folderEntry.Child(name).DiskPath(), entry.DiskPath());
    BEntry resolved;
    ASSERT_EQ(ResolveConfined(root, root, folderEntry.Name() + "/" + name, false, false, &resolved), B_OK);
    EXPECT_EQ(resolved.DiskPath(), entry.DiskPath());
  }
}

// The converted form wins a lookup, and creation always uses it, even when
// the plain conversion of the same name exists.
TEST_F(DiskNameLookupTest, ConvertedFormFirstAndAlwaysForCreation) {
  File("\xC3\x84x");  // "Äx", as another program wrote it
  const BEntry folder(P());
  EXPECT_EQ(folder.Child("\x80x").DiskPath(), P("\xC3\x84x"));
  EXPECT_EQ(folder.Child("\x80y").DiskPath(), P(":y"));  // missing: the converted form

  BDirectory directory(folder);
  BEntry created;
  ASSERT_EQ(directory.CreateFile("\x80x", true, &created), B_OK);
  EXPECT_EQ(created.DiskPath(), P(":x"));
  EXPECT_EQ(folder.Child("\x80x").DiskPath(), P(":x"));

  BEntry renamed;
  ASSERT_EQ(BEntry(P("\xC3\x84x")).Rename("\x8E\x80", &renamed), B_OK);
  EXPECT_EQ(renamed.DiskPath(), P("\xC3\xA9:"));
  ASSERT_EQ(directory.CreateDirectory("d\x80", &created), B_OK);
  EXPECT_TRUE(BEntry(P("d:")).IsDirectory());
}

// 85 bullets are 255 bytes on disk; one more is too long for every way of
// making a name.
TEST_F(DiskNameLookupTest, NamesLongerThan255BytesOnDiskAreRefused) {
  const std::string longest(85, '\xA5');
  const std::string tooLong(86, '\xA5');
  File("victim");
  BDirectory folder{BEntry(P())};
  BEntry out;
  EXPECT_EQ(folder.CreateFile(longest, true, &out), B_OK);
  EXPECT_EQ(folder.CreateFile(tooLong, true, &out), B_NAME_TOO_LONG);
  EXPECT_EQ(folder.CreateDirectory(tooLong, &out), B_NAME_TOO_LONG);
  EXPECT_EQ(BEntry(P("victim")).Rename(tooLong, &out), B_NAME_TOO_LONG);
  EXPECT_EQ(ResolveConfined(BEntry(P()), BEntry(P()), tooLong, false, true, &out), B_NAME_TOO_LONG);
  EXPECT_EQ(ResolveConfined(BEntry(P()), BEntry(P()), tooLong, false, false, &out), B_ENTRY_NOT_FOUND);
  EXPECT_TRUE(BEntry(P("victim")).Exists());
}

TEST(DiskNameEntryTest, PathsAndNames) {
  EXPECT_EQ(BEntry("/srv//share/").DiskPath(), "/srv/share");
  EXPECT_EQ(BEntry("/srv/share").Name(), "share");
  EXPECT_EQ(BEntry("/srv/a:b").Name(), "a\x80" "b");
  EXPECT_EQ(BEntry("/srv/share").Parent().DiskPath(), "/srv");
  EXPECT_EQ(BEntry("/srv").Parent().DiskPath(), "/");
  EXPECT_EQ(BEntry("/").Parent().DiskPath(), "/");
  EXPECT_EQ(BEntry("/").Child("etc").DiskPath(), "/etc");
  // Nothing that would step out of the folder or into another one.
  EXPECT_FALSE(BEntry("/srv").Child("..").IsSet());
  EXPECT_FALSE(BEntry("/srv").Child(".").IsSet());
  EXPECT_FALSE(BEntry("/srv").Child("a/b").IsSet());
  EXPECT_FALSE(BEntry("/srv").Child("").IsSet());
}

// --- Confined lookups ---

class ResolveConfinedTest : public StorageTest {
 protected:
  // share/            the root
  //   a/b/            folders
  //   file
  //   inner -> a      a link that stays inside
  //   etc -> /etc     links that leave
  //   up -> ..
  //   a/back -> ../.. (the folder above the root)
  // share2/           a neighbour whose name starts like the root's
  void SetUp() override {
    StorageTest::SetUp();
    Dir("share");
    Dir("share/a");
    Dir("share/a/b");
    File("share/file");
    Link("a", "share/inner");
    Link("/etc", "share/etc");
    Link("..", "share/up");
    Link("../..", "share/a/back");
    Link("missing", "share/dangling");
    Dir("share2");
    File("share2/secret");
  }
};

struct ResolveCase {
  const char* what;
  const char* base;  // below the temporary folder
  const char* path;
  bool traverse;
  bool mayNotExist;
  status_t status;
  const char* found;  // below the temporary folder, when found
};

class ResolveConfinedTableTest : public ResolveConfinedTest, public testing::WithParamInterface<ResolveCase> {};

TEST_P(ResolveConfinedTableTest, StaysInsideTheRoot) {
  const ResolveCase& c = GetParam();
  BEntry out;
  EXPECT_EQ(ResolveConfined(BEntry(P("share")), BEntry(P(c.base)), c.path, c.traverse, c.mayNotExist, &out), c.status);
  if (c.status == B_OK) {
    EXPECT_EQ(out.DiskPath(), P(c.found));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ResolveConfined, ResolveConfinedTableTest,
    testing::Values(
        ResolveCase{"EmptyIsBase", "share/a", "", false, false, B_OK, "share/a"},
        ResolveCase{"Nested", "share", "a/b", false, false, B_OK, "share/a/b"},
        ResolveCase{"DotStays", "share", "./a/./b/.", false, false, B_OK, "share/a/b"},
        ResolveCase{"DotDotInside", "share/a/b", "../..", false, false, B_OK, "share"},
        ResolveCase{"DotDotAtRoot", "share", "..", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"DotDotPastRootThroughFolder", "share", "a/../../share2/secret", false, false, B_ENTRY_NOT_FOUND,
                    nullptr},
        ResolveCase{"DotDotPastRootFromBase", "share/a", "../../share2", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"LinkOutsideAsFolder", "share", "etc/passwd", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"LinkOutsideLast", "share", "etc", false, false, B_OK, "share/etc"},
        ResolveCase{"LinkOutsideLastTraversed", "share", "etc", true, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"LinkToParentAsFolder", "share", "up/share2/secret", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"LinkAboveRootInFolder", "share", "a/back", true, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"LinkInsideAsFolder", "share", "inner/b", false, false, B_OK, "share/a/b"},
        ResolveCase{"LinkInsideLast", "share", "inner", false, false, B_OK, "share/inner"},
        ResolveCase{"LinkInsideTraversed", "share", "inner", true, false, B_OK, "share/a"},
        ResolveCase{"DotDotAfterLinkIsRealParent", "share", "inner/..", false, false, B_OK, "share"},
        ResolveCase{"DanglingLinkTraversed", "share", "dangling", true, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"FileAsFolder", "share", "file/x", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"Missing", "share", "a/none", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"MissingMayNotExist", "share", "a/none", false, true, B_OK, "share/a/none"},
        ResolveCase{"MissingFolderOnTheWay", "share", "none/x", false, true, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"BaseOutsideRoot", "share2", "", false, false, B_ENTRY_NOT_FOUND, nullptr},
        ResolveCase{"BaseLinkOutsideRoot", "share/etc", "passwd", false, false, B_ENTRY_NOT_FOUND, nullptr}),
    [](const testing::TestParamInfo<ResolveCase>& info) { return info.param.what; });

struct InsideCase {
  const char* entry;
  bool inside;
};

class ResolveConfinedInsideTest : public ResolveConfinedTest, public testing::WithParamInterface<InsideCase> {};

TEST_P(ResolveConfinedInsideTest, ComparesRealPathsByComponent) {
  EXPECT_EQ(IsInside(BEntry(P("share")), BEntry(P(GetParam().entry))), GetParam().inside) << GetParam().entry;
}

INSTANTIATE_TEST_SUITE_P(ResolveConfined, ResolveConfinedInsideTest,
                         testing::Values(InsideCase{"share", true}, InsideCase{"share/a/b", true},
                                         InsideCase{"share/inner", true}, InsideCase{"share/not-yet", true},
                                         InsideCase{"share2", false}, InsideCase{"share2/secret", false},
                                         InsideCase{"share/etc", false}, InsideCase{"share/up", false},
                                         InsideCase{"share/dangling", false}, InsideCase{"share/a/..", true},
                                         InsideCase{"share/..", false}));

// The root may be reached through a link of its own; what is found is spelled
// from the root's path as given.
TEST_F(ResolveConfinedTest, RootThroughALink) {
  Link(P("share"), "alias");
  const BEntry root(P("alias"));
  BEntry out;
  ASSERT_EQ(ResolveConfined(root, root, "inner/b", false, false, &out), B_OK);
  EXPECT_EQ(out.DiskPath(), P("alias/a/b"));
  EXPECT_EQ(ResolveConfined(root, root, "up", true, false, &out), B_ENTRY_NOT_FOUND);
  EXPECT_TRUE(IsInside(root, BEntry(P("share/a"))));
}

// --- Folders ---

class DirectoryTest : public StorageTest {};

TEST_F(DirectoryTest, CreatesThroughARelativePath) {
  Dir("folder");
  Link("folder", "link");
  BDirectory directory{BEntry(P())};
  BEntry created;
  ASSERT_EQ(directory.CreateDirectory("Archive", &created), B_OK);
  ASSERT_EQ(directory.CreateDirectory("Archive/2024", &created), B_OK);
  EXPECT_EQ(created.DiskPath(), P("Archive/2024"));
  EXPECT_TRUE(created.IsDirectory());
  ASSERT_EQ(directory.CreateFile("Archive/2024/notes", true, &created), B_OK);
  EXPECT_EQ(created.DiskPath(), P("Archive/2024/notes"));

  EXPECT_EQ(directory.CreateDirectory("Archive", &created), B_FILE_EXISTS);
  EXPECT_EQ(directory.CreateDirectory("Missing/x", &created), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(directory.CreateDirectory("Archive/2024/notes/x", &created), B_NOT_A_DIRECTORY);
  EXPECT_EQ(directory.CreateFile("link/x", true, &created), B_NOT_A_DIRECTORY);  // links are not followed
  EXPECT_EQ(directory.CreateFile("../x", true, &created), B_BAD_VALUE);
  EXPECT_EQ(directory.CreateFile("Archive//x", true, &created), B_BAD_VALUE);
  EXPECT_FALSE(BEntry(P("folder/x")).Exists());
}

TEST_F(DirectoryTest, SoftCreateRefusesAndHardCreateEmptiesKeepingAttributes) {
  File("doc", "contents");
  ASSERT_EQ(setxattr(P("doc").c_str(), "user.Afp_FinderInfo", "TEXTttxt", 8, 0), 0);
  BDirectory directory{BEntry(P())};
  BEntry created;
  EXPECT_EQ(directory.CreateFile("doc", true, &created), B_FILE_EXISTS);
  EXPECT_EQ(Read(P("doc")), "contents");

  const ino_t inode = Lstat(P("doc")).st_ino;
  ASSERT_EQ(directory.CreateFile("doc", false, &created), B_OK);
  EXPECT_EQ(Read(P("doc")), "");
  EXPECT_EQ(Lstat(P("doc")).st_ino, inode);
  char value[16];
  EXPECT_EQ(getxattr(P("doc").c_str(), "user.Afp_FinderInfo", value, sizeof(value)), 8);
}

// A hard create never empties anything but a plain file of that name: not a
// link's target, not a folder.
TEST_F(DirectoryTest, HardCreateLeavesLinksAndFoldersAlone) {
  File("target", "keep");
  Link(P("target"), "link");
  Dir("folder");
  BDirectory directory{BEntry(P())};
  BEntry created;
  EXPECT_EQ(directory.CreateFile("link", false, &created), B_FILE_EXISTS);
  EXPECT_EQ(Read(P("target")), "keep");
  EXPECT_EQ(directory.CreateFile("folder", false, &created), B_IS_A_DIRECTORY);
  EXPECT_EQ(directory.CreateFile("link", true, &created), B_FILE_EXISTS);
}

TEST_F(DirectoryTest, RenameAndMoveNeverReplace) {
  File("one", "1");
  File("two", "2");
  Dir("folder");
  File("folder/one", "other");
  BEntry result;
  EXPECT_EQ(BEntry(P("one")).Rename("two", &result), B_FILE_EXISTS);
  EXPECT_EQ(BEntry(P("one")).MoveTo(BEntry(P("folder")), &result), B_FILE_EXISTS);
  EXPECT_EQ(Read(P("two")), "2");
  EXPECT_EQ(Read(P("folder/one")), "other");

  ASSERT_EQ(BEntry(P("two")).MoveTo(BEntry(P("folder")), &result), B_OK);
  EXPECT_EQ(result.DiskPath(), P("folder/two"));
  ASSERT_EQ(BEntry(P("one")).Rename("three", &result), B_OK);
  EXPECT_EQ(result.DiskPath(), P("three"));
  EXPECT_EQ(Read(P("three")), "1");
  EXPECT_FALSE(BEntry(P("one")).Exists());
  EXPECT_EQ(BEntry(P("missing")).Rename("four", &result), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(BEntry(P("three")).Rename("..", &result), B_BAD_VALUE);
}

TEST_F(DirectoryTest, RemovesFilesLinksAndEmptyFolders) {
  File("target");
  Link(P("target"), "link");
  Dir("empty");
  Dir("full");
  File("full/x");
  EXPECT_EQ(BEntry(P("link")).Remove(), B_OK);
  EXPECT_TRUE(BEntry(P("target")).Exists());
  EXPECT_EQ(BEntry(P("target")).Remove(), B_OK);
  EXPECT_EQ(BEntry(P("empty")).Remove(), B_OK);
  EXPECT_EQ(BEntry(P("full")).Remove(), B_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(BEntry(P("gone")).Remove(), B_ENTRY_NOT_FOUND);
  EXPECT_FALSE(BEntry(P("empty")).Exists());
}

TEST_F(DirectoryTest, ListingIsStableAndCounted) {
  for (int i = 0; i < 300; i++) File("f" + std::to_string(i * 7919 % 1000));
  Dir("sub");
  BDirectory folder{BEntry(P())};
  ASSERT_EQ(folder.InitCheck(), B_OK);
  const std::vector<std::string> first = Listing(folder);
  folder.Rewind();
  EXPECT_EQ(Listing(folder), first);
  EXPECT_EQ(folder.GetNextEntry(nullptr), B_BAD_VALUE);
  BEntry end;
  EXPECT_EQ(folder.GetNextEntry(&end), B_ENTRY_NOT_FOUND);
  BDirectory again{BEntry(P())};
  EXPECT_EQ(Listing(again), first);
  EXPECT_EQ(folder.CountEntries(), 301);
  EXPECT_EQ(std::count(first.begin(), first.end(), P(".")) + std::count(first.begin(), first.end(), P("..")), 0);
}

TEST_F(DirectoryTest, ChangeTokenFollowsTheListOfEntries) {
  Dir("d");
  BDirectory folder{BEntry(P("d"))};
  const std::string before = folder.ChangeToken();
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(folder.ChangeToken(), before);
  File("d/new");
  const std::string added = folder.ChangeToken();
  EXPECT_NE(added, before);
  ASSERT_EQ(rename(P("d/new").c_str(), P("d/renamed").c_str()), 0);
  EXPECT_NE(folder.ChangeToken(), added);
}

TEST_F(DirectoryTest, FolderThatIsNotOneCannotBeListed) {
  File("file");
  Dir("real");
  Link("real", "link");
  EXPECT_EQ(BDirectory(BEntry(P("file"))).InitCheck(), B_NOT_A_DIRECTORY);
  EXPECT_EQ(BDirectory(BEntry(P("link"))).InitCheck(), B_NOT_A_DIRECTORY);
  EXPECT_EQ(BDirectory(BEntry(P("none"))).InitCheck(), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(BDirectory(BEntry(P("none"))).CountEntries(), 0);
}

// A drop box: writable and searchable, not readable. It cannot be listed,
// yet entries can be made in it.
TEST_F(DirectoryTest, DropBoxTakesNewEntries) {
  Dir("drop");
  ASSERT_EQ(chmod(P("drop").c_str(), 0733), 0);
  const int result = AsNobody([this] {
    // Owned by root: nobody gets the "others" bits.
    BDirectory drop{BEntry(P("drop"))};
    if (drop.InitCheck() != B_PERMISSION_DENIED) return 1;
    BEntry created;
    if (drop.CreateFile("letter", true, &created) != B_OK) return 2;
    if (drop.CreateDirectory("parcel", &created) != B_OK) return 3;
    if (drop.CreateFile("letter", true, &created) != B_FILE_EXISTS) return 4;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(BEntry(P("drop/letter")).Exists());
}

// --- Facts and changes ---

class DirectoryEntryTest : public StorageTest {};

TEST_F(DirectoryEntryTest, CreationTimeIsTheOneSetElseBirthTime) {
  File("file");
  Dir("folder");
  for (const char* name : {"file", "folder"}) {
    SCOPED_TRACE(name);
    const BEntry entry(P(name));
    struct statx facts;
    ASSERT_EQ(statx(AT_FDCWD, P(name).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &facts), 0);
    const int64_t fallback = (facts.stx_mask & STATX_BTIME) != 0 ? facts.stx_btime.tv_sec : facts.stx_mtime.tv_sec;
    EntryInfo info;
    ASSERT_EQ(entry.GetInfo(&info), B_OK);
    EXPECT_EQ(info.creationTime, fallback);

    ASSERT_EQ(entry.SetCreationTime(-86400 * 365), B_OK);
    ASSERT_EQ(entry.GetInfo(&info), B_OK);
    EXPECT_EQ(info.creationTime, -86400 * 365);
    ASSERT_EQ(entry.SetCreationTime(1000000000), B_OK);
    ASSERT_EQ(entry.GetInfo(&info), B_OK);
    EXPECT_EQ(info.creationTime, 1000000000);
    EXPECT_EQ(info.isDirectory, std::string(name) == "folder");

    // Not a user attribute.
    BNode node(P(name).c_str());
    char attribute[B_ATTR_NAME_LENGTH];
    EXPECT_EQ(node.GetNextAttrName(attribute), B_ENTRY_NOT_FOUND);
  }
}

// With the node's attribute space full, the record lives in the overflow
// store, and is read back from there.
TEST_F(DirectoryEntryTest, CreationTimeFromTheOverflowStore) {
  File("full");
  int count = 0;
  for (const size_t size : {500, 100, 16, 1}) {
    const std::string filler(size, 'f');
    // Names as long as the record's, so that not even it fits at the end.
    while (setxattr(P("full").c_str(), ("user.fill" + std::to_string(10000 + count)).c_str(), filler.data(),
                    filler.size(), 0) == 0)
      count++;
  }
  ASSERT_EQ(BEntry(P("full")).SetCreationTime(777), B_OK);
  ASSERT_LT(getxattr(P("full").c_str(), "user.corvane.crtime", nullptr, 0), 0);  // not inline
  EntryInfo info;
  ASSERT_EQ(BEntry(P("full")).GetInfo(&info), B_OK);
  EXPECT_EQ(info.creationTime, 777);
}

TEST_F(DirectoryEntryTest, ModificationTimeKeepsAccessTime) {
  File("file");
  const struct timespec times[2] = {{123456, 0}, {654321, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, P("file").c_str(), times, 0), 0);
  ASSERT_EQ(BEntry(P("file")).SetModificationTime(1700000000), B_OK);
  EXPECT_EQ(Lstat(P("file")).st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(Lstat(P("file")).st_atim.tv_sec, 123456);
  EntryInfo info;
  ASSERT_EQ(BEntry(P("file")).GetInfo(&info), B_OK);
  EXPECT_EQ(info.modificationTime, 1700000000);
}

TEST_F(DirectoryEntryTest, ChangesToALinkStayOnTheLink) {
  File("target");
  ASSERT_EQ(chmod(P("target").c_str(), 0600), 0);
  Link(P("target"), "link");
  const BEntry link(P("link"));
  EXPECT_NE(link.SetPermissions(0777), B_OK);
  EXPECT_EQ(Lstat(P("target")).st_mode & 07777, 0600u);
  const struct stat before = Lstat(P("target"));
  ASSERT_EQ(link.SetModificationTime(1600000000), B_OK);
  EXPECT_EQ(Lstat(P("target")).st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(Lstat(P("link")).st_mtim.tv_sec, 1600000000);
  EXPECT_NE(link.SetCreationTime(5), B_OK);  // links carry no attributes
  EntryInfo info;
  ASSERT_EQ(link.GetInfo(&info), B_OK);
  EXPECT_TRUE(info.isSymlink);
  EXPECT_FALSE(link.IsDirectory());
  EXPECT_FALSE(link.SameNodeAs(BEntry(P("target"))));
}

TEST_F(DirectoryEntryTest, PermissionsOwnerAndIdentity) {
  File("file");
  const BEntry entry(P("file"));
  ASSERT_EQ(entry.SetPermissions(0640), B_OK);
  EXPECT_EQ(Lstat(P("file")).st_mode & 07777, 0640u);
  ASSERT_EQ(entry.SetGroup(getegid()), B_OK);
  ASSERT_EQ(entry.SetOwner(geteuid()), B_OK);
  EXPECT_EQ(Lstat(P("file")).st_uid, geteuid());
  EXPECT_EQ(BEntry(P("missing")).SetPermissions(0600), B_ENTRY_NOT_FOUND);

  node_ref ref;
  ASSERT_EQ(entry.GetNodeRef(&ref), B_OK);
  EXPECT_EQ(ref.node, static_cast<int64_t>(Lstat(P("file")).st_ino));
  ASSERT_EQ(link(P("file").c_str(), P("hard").c_str()), 0);
  EXPECT_TRUE(entry.SameNodeAs(BEntry(P("hard"))));
  EXPECT_TRUE(entry.SameNodeAs(BEntry(P() + "/./file")));
  EXPECT_FALSE(entry.SameNodeAs(BEntry(P())));

  const int result = AsNobody([&entry] { return entry.SetOwner(0) == B_PERMISSION_DENIED ? 0 : 1; });
  EXPECT_EQ(result, 0);
}

}  // namespace
