// The monitor's user-visible text: strings from the string table (so that
// a translation is a resource, not a code change), composed with
// FormatMessage inserts (%1, %2!u!, ...) that a translator may reorder,
// and numbers, lengths and times in the user's locale.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The string `id` of the string table; "" when the table has none. The
// text stays valid for the life of the process. Not thread-safe: the
// main (window) thread alone calls it.
const wchar_t* Text(UINT id);

// True when the string table has a string `id`.
bool HasText(UINT id);

// An insert for FormatText: a string, or a number for a "!u!" insert.
inline DWORD_PTR Insert(const wchar_t* text) {
    return reinterpret_cast<DWORD_PTR>(text);
}
inline DWORD_PTR Insert(uint32_t number) {
    return static_cast<DWORD_PTR>(number);
}

// Formats string `id` with `count` inserts into `out` (`chars` wide
// characters); a result that does not fit is cut short, and `out` always
// ends with a zero.
void FormatTextArray(wchar_t* out, size_t chars, UINT id, const DWORD_PTR* inserts, int count);

template <size_t N>
void FormatText(wchar_t* out, size_t chars, UINT id, const DWORD_PTR (&inserts)[N]) {
    FormatTextArray(out, chars, id, inserts, static_cast<int>(N));
}

// Copies string `id` into `out`, cut short to fit.
void CopyText(wchar_t* out, size_t chars, UINT id);

// Appends `text` to the string in `out`, cut short to fit.
void AppendText(wchar_t* out, size_t chars, const wchar_t* text);

// A count with the user's digit grouping ("15,230").
void NumberText(uint32_t value, wchar_t* out, size_t chars);

// Tenths of a millimetre as millimetres: "210", or "215.9" with the
// user's decimal separator.
void TenthsText(uint32_t tenths, wchar_t* out, size_t chars);

// A local time as the user's short date and long time.
void DateTimeText(const SYSTEMTIME& at, wchar_t* out, size_t chars);

// A local time as the user's long time alone.
void TimeText(const SYSTEMTIME& at, wchar_t* out, size_t chars);

// The system's text for a Windows or RPC error code, without its final
// full stop and line break; "" when it has none.
void SystemErrorText(DWORD code, wchar_t* out, size_t chars);
