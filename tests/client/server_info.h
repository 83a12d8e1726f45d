// Reading the FPGetSrvrInfo reply (also the DSI GetStatus reply).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace afptest {

struct ServerInfo {
  uint16_t machineTypeOffset = 0;
  uint16_t versionsOffset = 0;
  uint16_t uamsOffset = 0;
  uint16_t iconOffset = 0;
  uint16_t flags = 0;
  std::string name;
  // Where the two offsets below were read: the first even offset after the name.
  uint16_t signatureOffsetPosition = 0;
  uint16_t signatureOffset = 0;
  uint16_t addressOffset = 0;
  std::string machineType;
  std::vector<std::string> versions;
  std::vector<std::string> uams;
};

// nullopt when the reply is too short for its fixed fields or any offset or
// list runs past its end.
std::optional<ServerInfo> ParseServerInfo(std::span<const uint8_t> reply);

}  // namespace afptest
