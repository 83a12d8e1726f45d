// Mac Roman <-> UTF-8 conversion with our own table.
//
// Both converters work like streaming converters: *sourceLength gives the
// bytes available and returns the bytes consumed; *destLength gives the room
// and returns the bytes produced. They stop before a character whose output
// would not fit, so a short destination is never overrun and never receives
// half a character.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/status.h"

// The substitute for characters without a Mac Roman form (ASCII SUB).
inline constexpr char kMacRomanSubstitute = 0x1A;

// Mac Roman to UTF-8 (precomposed, NFC). Every Mac Roman byte has a Unicode
// form, so this never substitutes. Returns B_OK, or B_BAD_VALUE for null
// pointers or negative lengths.
status_t ConvertMacRomanToUTF8(const char* source, int32_t* sourceLength,
                               char* dest, int32_t* destLength);

// UTF-8 to Mac Roman. A base letter followed by combining marks (the
// decomposed form Mac OS X clients send) becomes the precomposed Mac Roman
// letter when one exists. Characters without a Mac Roman form, and bytes that
// are not well-formed UTF-8, become `substitute`. A truncated sequence at the
// very end of the source is left unconsumed. Returns B_OK, or B_BAD_VALUE for
// null pointers or negative lengths.
status_t ConvertUTF8ToMacRoman(const char* source, int32_t* sourceLength,
                               char* dest, int32_t* destLength,
                               char substitute = kMacRomanSubstitute);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool IsValidUTF8(const char* text, size_t length);

// True when well-formed UTF-8 text converts to Mac Roman without any
// substitution (after composing combining marks as above).
bool HasMacRomanForm(const char* text, size_t length);
