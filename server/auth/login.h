// Login and logout: FPLogin (also FPLoginExt), FPContLogin, FPLogout, and
// the account check behind the four login methods.
#pragma once

#include <cstdint>

#include "server/afp/afp_handler.h"

struct AFP_USER_DATA;

// Login method codes.
inline constexpr int8_t kLoginNone = 0;
inline constexpr int8_t kLoginGuest = 1;
inline constexpr int8_t kLoginCleartext = 2;
inline constexpr int8_t kLoginScrambled1 = 3;
inline constexpr int8_t kLoginScrambled2 = 4;

// The four login methods' names, in code order (kLoginGuest first), and
// the AFP versions the server speaks, in version-code order from 1.
inline constexpr const char* kLoginMethodNames[] = {"No User Authent", "Cleartxt passwrd", "BeOS_Encryption_v1.0",
                                                    "BeOS_Encryption_v2.0"};
inline constexpr const char* kAFPVersionNames[] = {"AFP2.2", "AFPX03", "AFP3.1", "AFP3.2"};

// The login method of that name (matched without regard to case), 0 for
// none of the four.
signed char afpGetUAMType(const char* name);

// Checks an account and its password for a login method; the password is
// unscrambled in place. 0 and the account; -5042 (and the account) when its
// password has expired; -5023; -5002.
int32_t afpImpLogonUser(const char* name, char* password, int32_t key, int16_t loginType,
                        AFP_USER_DATA* out);

AFP_HANDLER(FPLogin);
AFP_HANDLER(FPContLogin);
AFP_HANDLER(FPLogout);
