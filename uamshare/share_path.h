// How a share folder named on the command line or through the client
// library is spelled in the server's records. Built into the library and
// into corvane-admin; not exported.
#pragma once

#include <optional>
#include <string>

// `given` made absolute against the current folder, without trailing
// slashes; nothing when the current folder cannot be found.
std::optional<std::string> AbsoluteSharePath(const std::string& given);

// The real path of the folder's parent plus its own name, so that a final
// symbolic link is not followed; a path ending in "." or ".." names the
// folder itself and is resolved whole. Nothing when the path cannot be
// resolved.
std::optional<std::string> RecordedSharePath(const std::string& absolute);
