// Entry names between the server's Mac Roman and the file system's UTF-8.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/storage_internal.h"
#include "platform/text_encoding.h"

namespace {

constexpr unsigned char kSlashStandIn = 0x80;  // a client's "/" in Mac Roman
constexpr char kSlashOnDisk = ':';

// UTF-8 for Mac Roman text, each byte by the table (0x80 as "Ä").
std::string PlainUTF8(const std::string& macRoman) {
  std::string out(macRoman.size() * 3, '\0');
  int32_t sourceLength = static_cast<int32_t>(macRoman.size());
  int32_t destLength = static_cast<int32_t>(out.size());
  if (ConvertMacRomanToUTF8(macRoman.data(), &sourceLength, out.data(), &destLength) != B_OK) return {};
  out.resize(static_cast<size_t>(destLength));
  return out;
}

// The decomposed spelling (base letter + combining mark) of each Mac Roman
// byte that has one, empty for the others. Derived from the converter's own
// composition, so that the two always agree.
const std::array<std::string, 128>& Decompositions() {
  static const std::array<std::string, 128> table = [] {
    std::array<std::string, 128> result;
    static constexpr const char* kMarks[] = {"\xCC\x80", "\xCC\x81", "\xCC\x82", "\xCC\x83",
                                             "\xCC\x88", "\xCC\x8A", "\xCC\xA7"};
    for (const char* base = "AaCcEeIiNnOoUuYy"; *base != '\0'; ++base) {
      for (const char* mark : kMarks) {
        const std::string pair = std::string(1, *base) + mark;
        char byte = 0;
        int32_t sourceLength = static_cast<int32_t>(pair.size());
        int32_t destLength = 1;
        if (ConvertUTF8ToMacRoman(pair.data(), &sourceLength, &byte, &destLength) != B_OK) continue;
        const auto value = static_cast<unsigned char>(byte);
        if (destLength == 1 && sourceLength == static_cast<int32_t>(pair.size()) && value >= 0x80)
          result[value - 0x80] = pair;
      }
    }
    return result;
  }();
  return table;
}

// The converted form with every letter that has one written decomposed, as
// programs that write NFD names (macOS among them) spell it.
std::string DecomposedForm(const std::string& macRoman) {
  std::string out;
  for (const char c : macRoman) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte != kSlashStandIn && !Decompositions()[byte - 0x80].empty())
      out += Decompositions()[byte - 0x80];
    else
      out += DiskNameFromMacRoman(std::string(1, c));
  }
  return out;
}

}  // namespace

std::string DiskNameFromMacRoman(const std::string& macRoman) {
  std::string out;
  size_t start = 0;
  while (start <= macRoman.size()) {
    size_t stop = macRoman.find(static_cast<char>(kSlashStandIn), start);
    if (stop == std::string::npos) stop = macRoman.size();
    out += PlainUTF8(macRoman.substr(start, stop - start));
    if (stop == macRoman.size()) break;
    out += kSlashOnDisk;
    start = stop + 1;
  }
  return out;
}

std::string MacRomanNameFromDisk(const std::string& diskName) {
  if (!HasMacRomanForm(diskName.data(), diskName.size()))
    return diskName;
  std::string out(diskName.size(), '\0');
  int32_t sourceLength = static_cast<int32_t>(diskName.size());
  int32_t destLength = static_cast<int32_t>(out.size());
  if (ConvertUTF8ToMacRoman(diskName.data(), &sourceLength, out.data(), &destLength) != B_OK ||
      sourceLength != static_cast<int32_t>(diskName.size()))
    return diskName;
  out.resize(static_cast<size_t>(destLength));
  std::replace(out.begin(), out.end(), kSlashOnDisk, static_cast<char>(kSlashStandIn));
  return out;
}

namespace storage_internal {

bool IsSingleDiskName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kMaxDiskNameLength &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::vector<std::string> LookupForms(const std::string& macRoman) {
  std::vector<std::string> forms;
  const auto add = [&forms](std::string form) {
    if (IsSingleDiskName(form) && std::find(forms.begin(), forms.end(), form) == forms.end())
      forms.push_back(std::move(form));
  };
  add(DiskNameFromMacRoman(macRoman));
  const bool ascii = std::all_of(macRoman.begin(), macRoman.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    add(PlainUTF8(macRoman));
    add(macRoman);
    add(DecomposedForm(macRoman));
  }
  return forms;
}

}  // namespace storage_internal
