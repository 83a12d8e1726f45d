// The user's own account: FPChangePswd and FPGetUserInfo.
#pragma once

#include <cstdint>

#include "server/afp/afp_handler.h"

// Checks the old password of an account and stores the new one; the
// passwords are unscrambled in place for the scrambled method.
int32_t afpImpChangePswd(const char* name, char* oldPassword, char* newPassword, int16_t key, int16_t loginType);

AFP_HANDLER(FPChangePswd);
AFP_HANDLER(FPGetUserInfo);
