// The settings file "corvanePrefs": its data stream stays empty; every
// record is one node attribute, named by a kind prefix ("AFP:" shares,
// "USR:" accounts) and the record's key, holding the record's raw bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/node.h"
#include "platform/status.h"

inline constexpr const char* kSettingsFileName = "corvanePrefs";

// "<settings folder>/corvanePrefs", or the folder lookup's failure.
status_t afpSettingsFilePath(std::string* path);

// Opens the settings file as a node; with `create`, makes it first (mode
// 0600: it holds passwords) when it is missing. B_ENTRY_NOT_FOUND and other
// failures as the platform reports them.
status_t afpOpenSettingsFile(BNode* node, bool create);

// Walks the attribute names that contain `prefix` anywhere, in the order
// the file lists them; `visit` returns false to stop the walk.
void afpForEachSettingsRecordName(BNode& file, const char* prefix,
                                  const std::function<bool(const char* attributeName)>& visit);

// Reads a record into a zero-filled buffer of `recordSize` bytes; false when
// it is missing or reads back empty.
bool afpReadSettingsRecord(BNode& file, const char* attributeName, void* buffer, size_t recordSize);

// Walks the records whose names contain `prefix`, each read as above;
// records that read back empty are passed over.
void afpForEachSettingsRecord(BNode& file, const char* prefix, void* buffer, size_t recordSize,
                              const std::function<bool(const char* attributeName)>& visit);
