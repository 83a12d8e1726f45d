#include "server/desktop/desktop_store.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/directory.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"

std::mutex deskLock;

namespace {

// Searches read this many records per read.
constexpr int32_t kRecordsPerChunk = 64;
constexpr int32_t kChunkSize = kRecordsPerChunk * kDesktopEntrySize;

bool SameCode(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 4) == 0; }

// Whether `record` is the one `key` and `index` look for; `seen` counts the
// records of the key's creator met so far.
bool Matches(const DESKTOP_ENTRY& record, const DESKTOP_ENTRY& key, int16_t index, int32_t* seen) {
  if (record.kind != key.kind) return false;
  switch (key.kind) {
    case kDeskEntryFree:
      return true;
    case kDeskEntryIcon:
      if (!SameCode(record.creator, key.creator)) return false;
      if (index == 0) return SameCode(record.fileType, key.fileType) && record.IconType() == key.IconType();
      return ++*seen == index;
    case kDeskEntryApplication:
      if (!SameCode(record.creator, key.creator)) return false;
      return index == 0 || ++*seen == index;
    default:
      return false;
  }
}

bool WriteRecord(BFile& file, off_t offset, const DESKTOP_ENTRY& record) {
  return file.WriteAt(offset, &record, sizeof(record)) == static_cast<ssize_t>(sizeof(record));
}

// The search itself, with deskLock held. Only whole records are read, so a
// record's offset is always its index × 1048; a trailing partial record is
// never looked at.
int32_t SearchLocked(BFile& file, const DESKTOP_ENTRY& key, int16_t index, off_t* offset, DESKTOP_ENTRY* found) {
  if (index < 0) return kFPItemNotFound;
  std::unique_ptr<DESKTOP_ENTRY[]> chunk(new (std::nothrow) DESKTOP_ENTRY[kRecordsPerChunk]);
  if (!chunk) return kFPParamErr;
  int32_t seen = 0;
  off_t position = 0;
  while (true) {
    const ssize_t got = file.ReadAt(position, chunk.get(), kChunkSize);
    if (got < kDesktopEntrySize) return kFPItemNotFound;  // end of file, or a failed read
    const int32_t records = static_cast<int32_t>(got / kDesktopEntrySize);
    for (int32_t i = 0; i < records; ++i) {
      DESKTOP_ENTRY& record = chunk[i];
      if (!Matches(record, key, index, &seen)) continue;
      const off_t at = position + static_cast<off_t>(i) * kDesktopEntrySize;
      if (key.kind == kDeskEntryFree) {
        // Claimed at once, so that no other addition takes it.
        record.kind = kDeskEntryReserved;
        if (!WriteRecord(file, at, record)) return kFPParamErr;
      } else if (found != nullptr) {
        *found = record;
      }
      if (offset != nullptr) *offset = at;
      return kFPNoErr;
    }
    position += static_cast<off_t>(records) * kDesktopEntrySize;
  }
}

// Where a new record goes when no free one is left: after the last whole
// record (over a trailing partial one, which searches never see).
int32_t EndOfRecords(BFile& file, off_t* offset) {
  off_t size = 0;
  if (file.GetSize(&size) != B_OK) return kFPParamErr;
  *offset = size - size % kDesktopEntrySize;
  return kFPNoErr;
}

BFile* DesktopFile(BAFPSession* session, uint16_t reference) {
  DESK_ITEM* item = session->GetDeskItem(reference);
  return item != nullptr ? item->file.get() : nullptr;
}

}  // namespace

int16_t DESKTOP_ENTRY::BitmapSize() const {
  int16_t size;
  std::memcpy(&size, detail + 2, sizeof(size));
  return size;
}

uint32_t DESKTOP_ENTRY::DirID() const {
  uint32_t dirID;
  std::memcpy(&dirID, detail, sizeof(dirID));
  return dirID;
}

void DESKTOP_ENTRY::SetIcon(const uint8_t creatorBytes[4], const uint8_t typeBytes[4], uint8_t iconType) {
  kind = kDeskEntryIcon;
  std::memcpy(creator, creatorBytes, 4);
  std::memcpy(fileType, typeBytes, 4);
  detail[0] = iconType;
  detail[1] = 0;
}

void DESKTOP_ENTRY::SetBitmapSize(int16_t size) { std::memcpy(detail + 2, &size, sizeof(size)); }

void DESKTOP_ENTRY::SetApplication(uint32_t creatorValue) {
  kind = kDeskEntryApplication;
  std::memcpy(creator, &creatorValue, sizeof(creatorValue));
}

void DESKTOP_ENTRY::SetDirID(uint32_t dirID) { std::memcpy(detail, &dirID, sizeof(dirID)); }

int32_t afp_FindDTEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* key, int16_t index,
                        off_t* offset, DESKTOP_ENTRY* found) {
  std::lock_guard<std::mutex> guard(deskLock);
  BFile* file = DesktopFile(session, reference);
  if (file == nullptr) return kFPParamErr;
  return SearchLocked(*file, *key, index, offset, found);
}

// The lock is held from the search to the write, so two additions of the
// same icon or mapping cannot both miss it and both append.
int32_t afp_AddEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* record) {
  std::lock_guard<std::mutex> guard(deskLock);
  BFile* file = DesktopFile(session, reference);
  if (file == nullptr) return kFPParamErr;
  off_t offset = 0;
  DESKTOP_ENTRY existing;
  int32_t result = SearchLocked(*file, *record, 0, &offset, &existing);
  if (result == kFPNoErr) {
    if (record->kind == kDeskEntryIcon && existing.BitmapSize() != record->BitmapSize()) return kFPIconTypeError;
  } else if (result == kFPItemNotFound) {
    const DESKTOP_ENTRY freeKey;
    result = SearchLocked(*file, freeKey, 0, &offset, nullptr);
    if (result == kFPItemNotFound) result = EndOfRecords(*file, &offset);
    if (result != kFPNoErr) return result;
  } else {
    return result;
  }
  return WriteRecord(*file, offset, *record) ? kFPNoErr : kFPParamErr;
}

int32_t afp_RemoveEntry(BAFPSession* session, uint16_t reference, const DESKTOP_ENTRY* key) {
  std::lock_guard<std::mutex> guard(deskLock);
  BFile* file = DesktopFile(session, reference);
  if (file == nullptr) return kFPParamErr;
  off_t offset = 0;
  DESKTOP_ENTRY record;
  const int32_t result = SearchLocked(*file, *key, 0, &offset, &record);
  if (result != kFPNoErr) return result;
  record.kind = kDeskEntryFree;
  return WriteRecord(*file, offset, record) ? kFPNoErr : kFPParamErr;
}
