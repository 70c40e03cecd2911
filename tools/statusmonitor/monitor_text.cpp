// String table access and locale formatting for the monitor.
#include "monitor_text.h"

#include <cwchar>

#include "monitor_resources.h"

namespace {

// The identifiers the string table uses (monitor_resources.h); each
// string is loaded once and kept.
constexpr UINT FIRST_ID = 1000;
constexpr UINT LAST_ID = 2599;
const wchar_t* g_cache[LAST_ID - FIRST_ID + 1];
const wchar_t kMissing[] = L"";

// A copy of string `id` on the process heap, or kMissing. LoadStringW with
// no buffer gives the resource's own text, which is not zero-terminated.
const wchar_t* Load(UINT id) {
    const wchar_t* resource = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource) return kMissing;
    size_t bytes = (static_cast<size_t>(length) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (!copy) return kMissing;
    CopyMemory(copy, resource, bytes - sizeof(wchar_t));
    copy[length] = 0;
    return copy;
}

// The locale's one-character separator of `type` (LOCALE_STHOUSAND,
// LOCALE_SDECIMAL) into `out` (4 chars).
void Separator(LCTYPE type, wchar_t* out, const wchar_t* fallback) {
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, out, 4) <= 0) lstrcpynW(out, fallback, 4);
}

}  // namespace

const wchar_t* Text(UINT id) {
    if (id < FIRST_ID || id > LAST_ID) return kMissing;
    const wchar_t*& slot = g_cache[id - FIRST_ID];
    if (!slot) slot = Load(id);
    return slot;
}

bool HasText(UINT id) {
    return Text(id) != kMissing;
}

void FormatTextArray(wchar_t* out, size_t chars, UINT id, const DWORD_PTR* inserts, int count) {
    if (chars == 0) return;
    out[0] = 0;
    if (count > 0 && !inserts) return;
    wchar_t* made = nullptr;
    DWORD flags =
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    // The inserts are only read as the string's inserts ask, never as a
    // format, so a printer name with '%' in it is shown as it is.
    DWORD length = FormatMessageW(flags, Text(id), 0, 0, reinterpret_cast<LPWSTR>(&made), 0,
                                  reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
    if (length > 0 && made) lstrcpynW(out, made, static_cast<int>(chars));
    if (made) LocalFree(made);
}

void CopyText(wchar_t* out, size_t chars, UINT id) {
    if (chars > 0) lstrcpynW(out, Text(id), static_cast<int>(chars));
}

void AppendText(wchar_t* out, size_t chars, const wchar_t* text) {
    size_t used = wcslen(out);
    if (used + 1 < chars) lstrcpynW(out + used, text, static_cast<int>(chars - used));
}

void NumberText(uint32_t value, wchar_t* out, size_t chars) {
    wchar_t digits[16];
    _snwprintf(digits, 15, L"%lu", static_cast<unsigned long>(value));
    digits[15] = 0;
    // The locale's grouping without decimals: NUMBERFMT with no digits
    // after the separator, groups of three as most locales have them.
    wchar_t thousand[4];
    wchar_t decimal[4];
    Separator(LOCALE_STHOUSAND, thousand, L",");
    Separator(LOCALE_SDECIMAL, decimal, L".");
    NUMBERFMTW format = {0, 0, 3, decimal, thousand, 1};
    if (GetNumberFormatW(LOCALE_USER_DEFAULT, 0, digits, &format, out, static_cast<int>(chars)) <=
        0)
        lstrcpynW(out, digits, static_cast<int>(chars));
}

void TenthsText(uint32_t tenths, wchar_t* out, size_t chars) {
    wchar_t decimal[4];
    Separator(LOCALE_SDECIMAL, decimal, L".");
    if (tenths % 10 == 0)
        _snwprintf(out, chars - 1, L"%lu", static_cast<unsigned long>(tenths / 10));
    else
        _snwprintf(out, chars - 1, L"%lu%ls%lu", static_cast<unsigned long>(tenths / 10), decimal,
                   static_cast<unsigned long>(tenths % 10));
    out[chars - 1] = 0;
}

void DateTimeText(const SYSTEMTIME& at, wchar_t* out, size_t chars) {
    wchar_t date[64];
    wchar_t time[64];
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &at, nullptr, date, 64) <= 0)
        date[0] = 0;
    TimeText(at, time, 64);
    DWORD_PTR inserts[] = {Insert(date), Insert(time)};
    FormatText(out, chars, IDS_DATE_TIME, inserts);
}

void TimeText(const SYSTEMTIME& at, wchar_t* out, size_t chars) {
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &at, nullptr, out, static_cast<int>(chars)) <= 0)
        out[0] = 0;
}

void SystemErrorText(DWORD code, wchar_t* out, size_t chars) {
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, out, static_cast<DWORD>(chars), nullptr);
    while (length > 0 && (out[length - 1] == L'\n' || out[length - 1] == L'\r' ||
                          out[length - 1] == L' ' || out[length - 1] == L'.'))
        out[--length] = 0;
    if (length == 0) out[0] = 0;
}
