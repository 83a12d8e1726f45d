// The desktop database of a volume: the file ".Desktop" in the shared
// folder, an array of 1,048-byte records with no header (record n at byte
// n × 1048). Removed records are marked free and reused; the file grows
// only when no free record is left.
//
// Integers in a record are in host byte order, except the file type and
// creator of icon records, which keep the bytes the client sent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>

class BAFPSession;

inline constexpr const char* kDesktopFileName = ".Desktop";
inline constexpr int32_t kDesktopEntrySize = 1048;
inline constexpr int32_t kIconBitmapCapacity = 1028;
// The longest application name a record holds (its terminator follows).
inline constexpr int32_t kApplicationNameCapacity = 1024;

// Record kinds (byte 0).
inline constexpr uint8_t kDeskEntryFree = 0;
inline constexpr uint8_t kDeskEntryIcon = 1;
inline constexpr uint8_t kDeskEntryApplication = 2;
inline constexpr uint8_t kDeskEntryNeverMatched = 3;
// A free record claimed by an addition about to overwrite it.
inline constexpr uint8_t kDeskEntryReserved = 4;

struct DESKTOP_ENTRY {
  uint8_t kind = kDeskEntryFree;
  uint8_t zero[3] = {};
  uint32_t tag = 0;         // icon tag or application tag
  uint8_t fileType[4] = {}; // icons: as sent; applications: zero
  // Icons: as sent; applications: the creator as a host-order 32-bit value.
  uint8_t creator[4] = {};
  // Icons: icon type, zero, bitmap size (signed 16-bit); applications: the
  // directory ID of the application's folder (32-bit).
  uint8_t detail[4] = {};
  // Icons: the bitmap; applications: the file name, NUL-terminated.
  uint8_t data[kIconBitmapCapacity] = {};

  uint8_t IconType() const { return detail[0]; }
  int16_t BitmapSize() const;
  uint32_t DirID() const;
  void SetIcon(const uint8_t creatorBytes[4], const uint8_t typeBytes[4], uint8_t iconType);
  void SetBitmapSize(int16_t size);
  void SetApplication(uint32_t creatorValue);
  void SetDirID(uint32_t dirID);
};
static_assert(sizeof(DESKTOP_ENTRY) == kDesktopEntrySize);

// Serialises every desktop-file access of all sessions.
extern std::mutex deskLock;

// Searches the session's desktop `reference` for a record matching `key`:
//  - kind 0: the first free record, which is marked reserved on disk at once;
//  - kind 1: icons of the key's creator — the `index`-th of them (from 1), or
//    with index 0 the one that also has the key's file type and icon type;
//  - kind 2: mappings of the key's creator — the `index`-th, or the first
//    for index 0.
// A negative index matches nothing. On a match the record's file offset and
// (for kinds 1 and 2) a copy of it are stored through the pointers that are
// not null; 0. kFPItemNotFound when nothing matches, kFPParamErr when the
// reference is not open.
int32_t afp_FindDTEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* key, int16_t index,
                        off_t* offset, DESKTOP_ENTRY* found);

// Writes `record` over the record it matches (index 0), else into a free
// record, else at the end. An icon whose stored twin has another bitmap size
// is kFPIconTypeError and nothing is written; a failed write kFPParamErr.
int32_t afp_AddEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* record);

// Marks the record matching `key` (index 0) free.
int32_t afp_RemoveEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* key);
