// Small helpers shared by the command-line tools.
#pragma once

#include <windows.h>

// Parses a decimal or 0x-prefixed hexadecimal 32-bit number (a leading '-'
// is allowed); false when `text` is not entirely such a number.
bool ParseLong(const wchar_t* text, long* value);

// Prints to standard output or standard error as UTF-8, printf-style.
void PrintOut(const wchar_t* format, ...);
void PrintErr(const wchar_t* format, ...);

// The system's message text for a Windows error code, without the trailing
// line break, into `text` (`capacity` chars); "unknown error" when none.
void ErrorText(DWORD code, wchar_t* text, DWORD capacity);
