// Shared by the entry, folder, file and node-index code of the platform
// layer; not for use outside it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace storage_internal {

// Longest single name the file system takes, in bytes.
inline constexpr size_t kMaxDiskNameLength = 255;

// The layer's status for a failed system call's errno.
status_t StatusForErrno(int error);

// The disk spellings to try, in order, for a Mac Roman name: the converted
// form, the plain conversion (0x80 as "Ä"), the raw bytes, then the
// decomposed (NFD) form of the converted one; duplicates and spellings no
// file system could hold (empty, too long, with "/" or a null byte) left out.
std::vector<std::string> LookupForms(const std::string& macRoman);

// True when `name` can be a single entry name on disk: not empty, not "."
// or "..", no "/" and no null byte.
bool IsSingleDiskName(const std::string& name);

// The index of the first of `forms` that names an entry in `folder` (a path
// relative to `dirFd`; empty for `dirFd` itself), with its facts, a final
// link not followed; -1 when none does, with the errno of the first form's
// failure in `*error`.
int FindExisting(int dirFd, const std::string& folder, const std::vector<std::string>& forms, struct stat* facts,
                 int* error);

// "folder/name", without doubling the slash after "/".
std::string JoinPath(const std::string& folder, const std::string& name);

// The elements of a "/"-separated path, in order; empty elements are kept
// only with `keepEmpty`.
std::vector<std::string> SplitPath(std::string_view path, bool keepEmpty);

// The real path of `path` (all links followed); false when it cannot be
// had (missing, a dangling link, no permission).
bool RealPath(const std::string& path, std::string* real);

// `path` is `folder` or lies below it, by whole path components.
bool IsAtOrBelow(const std::string& folder, const std::string& path);

// Tells the node index that the folder at `from` (and everything under it)
// is now at `to`.
void MovedDirectory(const std::string& from, const std::string& to);

}  // namespace storage_internal
