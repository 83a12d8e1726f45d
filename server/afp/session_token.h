// Session tokens: unpredictable 32-bit values, unique among live sessions,
// so a reconnecting client cannot guess or collide with another's token.
#pragma once

#include <cstdint>

int32_t afpAllocateSessionToken();
void afpReleaseSessionToken(int32_t token);
