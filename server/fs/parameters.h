// Parameter bitmaps of files and folders, and the bytes a set request
// carries for a bitmap.
#pragma once

#include <cstdint>

// Directory parameter bits.
inline constexpr uint16_t kDirAttributesBit = 0x0001;
inline constexpr uint16_t kDirParentIDBit = 0x0002;
inline constexpr uint16_t kDirCreationDateBit = 0x0004;
inline constexpr uint16_t kDirModificationDateBit = 0x0008;
inline constexpr uint16_t kDirBackupDateBit = 0x0010;
inline constexpr uint16_t kDirFinderInfoBit = 0x0020;
inline constexpr uint16_t kDirLongNameBit = 0x0040;
inline constexpr uint16_t kDirShortNameBit = 0x0080;
inline constexpr uint16_t kDirIDBit = 0x0100;
inline constexpr uint16_t kDirOffspringCountBit = 0x0200;
inline constexpr uint16_t kDirOwnerIDBit = 0x0400;
inline constexpr uint16_t kDirGroupIDBit = 0x0800;
inline constexpr uint16_t kDirAccessRightsBit = 0x1000;
inline constexpr uint16_t kDirUTF8NameBit = 0x2000;

// File parameter bits (shared ones as above).
inline constexpr uint16_t kFileIDBit = 0x0100;
inline constexpr uint16_t kFileDataForkLengthBit = 0x0200;
inline constexpr uint16_t kFileResourceForkLengthBit = 0x0400;
inline constexpr uint16_t kFileExtDataForkLengthBit = 0x0800;
inline constexpr uint16_t kFileUTF8NameBit = 0x2000;
inline constexpr uint16_t kFileExtResourceForkLengthBit = 0x4000;
// Files and folders: owner, group, permission mode and the user's access
// rights, 4 bytes each.
inline constexpr uint16_t kUnixPrivilegesBit = 0x8000;

// The flag byte of a folder's parameters (replies of FPGetFileDirParms and
// the enumerations): set for a folder, clear for a file.
inline constexpr uint8_t kFolderFlag = 0x80;

// The bitmaps a session gets answered with: no short names, and no UTF-8
// names for an AFP 2.2 session.
uint16_t afpAdjustBitmap(uint16_t bitmap, signed char afpVersion);

// The bytes of a set request's parameters for this bitmap and object.
int32_t afpSetParmsLength(uint16_t bitmap, bool isDirectory, bool isAdmin);
