// The account store: one "USR:" record per account in the settings file.
// There is no cache; every call reads or writes the file.
#pragma once

#include <cstdint>

// Account flags.
inline constexpr uint32_t kAccountEnabled = 0x01;
inline constexpr uint32_t kAccountGuestDefault = 0x02;
inline constexpr uint32_t kAccountPasswordExpired = 0x04;
inline constexpr uint32_t kAccountAdministrator = 0x08;
inline constexpr uint32_t kAccountChangeBeforeLogin = 0x10;
inline constexpr uint32_t kAccountMayChangePassword = 0x20;

inline constexpr const char* kGuestAccountName = "Guest";
inline constexpr const char* kAccountRecordPrefix = "USR:";

// The stored record, 272 bytes, integers in host byte order.
struct AFP_USER_DATA {
  char name[128];
  char password[128];
  uint32_t reserved1;
  uint32_t flags;
  uint8_t reserved2[8];
};
static_assert(sizeof(AFP_USER_DATA) == 272);

// Creates an account: 0 (also when there is no settings folder: nothing is
// written), -4001 when it exists, -4002 when the settings file cannot be
// opened.
int32_t afpSaveNewUser(const char* name, const char* password, uint32_t flags);
// The account at that position in the file's order: 0, -4002 or -4003.
int32_t afpGetIndUser(AFP_USER_DATA* out, int16_t index);
// 0 and the record (when `out` is not null), or -4000.
int32_t afpGetUserDataByName(const char* name, AFP_USER_DATA* out);
// Always 0.
int32_t afpDeleteUser(const char* name);
bool afpAccountEnabled(const char* name);
// Replaces an account (name, password and flags survive): the result of
// afpSaveNewUser.
int32_t afpUpdateUserInfo(AFP_USER_DATA record);
